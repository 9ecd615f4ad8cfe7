// SPDX-License-Identifier: GPL-2.0-or-later
// The entries of wrapper playlists (ASX, M3U, PLS) that point at the real stream.
#pragma once

#include <string>
#include <vector>

#include "check/check_verdict.h"

// The entry addresses of a wrapper of the given kind, in order, made absolute against the
// wrapper's own address. ASX is read by libxml2's HTML parser in recover mode, since real
// ones are often malformed; "ref" and "entryref" elements count, in any letter case. PLS takes
// "FileN=" and "RefN=" lines (the INI form of ASX), M3U every line that is neither blank nor a
// comment.
std::vector<std::string> WrapperEntries(ContentKind kind, const std::string& body,
                                        const std::string& wrapperAddress);
// entry made absolute against base, as players resolve a relative address ("a.ts",
// "/live/a.ts", "//host/a.ts"); entry as it is when the two cannot be combined.
std::string AbsoluteAddress(const std::string& entry, const std::string& base);
