// SPDX-License-Identifier: GPL-2.0-or-later
// The address both transports request for a page address as the pages give it.
#pragma once

#include <string>

// Bytes that cannot stand in a URL (control bytes, tab and space, DEL, 0x80-0xFF) become
// %XX; a backslash before the query becomes "/", as WinINet and browsers read it; the
// fragment from "#" on is left out, as no request carries it. Everything else, "%" escapes
// included, stays as it is.
std::string EscapedAddress(const std::string& address);
