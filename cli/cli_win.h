// SPDX-License-Identifier: GPL-2.0-or-later
// What the Windows parts of morvek-cli share.
#pragma once

#include <string>

// UTF-8 as the UTF-16 the wide Win32 calls take.
std::wstring Utf8ToWide(const std::string& utf8);
