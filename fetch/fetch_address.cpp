// SPDX-License-Identifier: GPL-2.0-or-later
// One escaping rule for page addresses, so that libcurl and WinINet request the same bytes.
#include "fetch/fetch_address.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";
const char kEscape = '%';
const char kFragmentStart = '#';
const char kQueryStart = '?';
const char kBackslash = '\\';
const char kSlash = '/';
const unsigned char kLastUnsafeLow = 0x20;  // control bytes and the space
const unsigned char kFirstUnsafeHigh = 0x7F;  // DEL and the bytes above ASCII

bool CannotStandInUrl(unsigned char byte) {
  return byte <= kLastUnsafeLow || byte >= kFirstUnsafeHigh;
}

}  // namespace

std::string EscapedAddress(const std::string& address) {
  std::string escaped;
  escaped.reserve(address.size());
  bool inQuery = false;
  for (char c : address) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == kFragmentStart) break;
    inQuery = inQuery || c == kQueryStart;
    if (CannotStandInUrl(byte)) {
      escaped += kEscape;
      escaped += kHexDigits[byte >> 4];
      escaped += kHexDigits[byte & 0xF];
    } else if (c == kBackslash && !inQuery) {
      escaped += kSlash;
    } else {
      escaped += c;
    }
  }
  return escaped;
}
