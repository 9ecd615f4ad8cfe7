// SPDX-License-Identifier: GPL-2.0-or-later
// Decisions of the window program that need no window: command line and link filter.
#include "ui/win32/window_rules.h"

#include "text/text.h"

namespace {

const char kSpace = ' ';
const char kQuote = '"';
const char kBackslash = '\\';
const char* const kLaunchSchemes[] = {"http", "https", "ftp", "mms", "mmsh", "rtsp", "rtmp"};
const char kWebPrefix[] = "www.";
const char kWebScheme[] = "http://";
const char kSchemeEnd[] = "://";
const char kAuthorityEnds[] = "/?#";
const char kPathEnds[] = "?#";
const char kSlash = '/';
const char kPortMark = ':';
const char kIpv6Open = '[';
const char kIpv6Close = ']';

bool HoldsUnsafeByte(const std::string& s) {
  for (char c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == kQuote || c == kBackslash || c == kSpace || b < 32 || b == 127) return true;
  }
  return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHostByte(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '.' || c == '_';
}

bool IsIpv6Byte(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

template <typename ByteTest>
bool AllBytes(const std::string& s, ByteTest test) {
  for (char c : s) {
    if (!test(c)) return false;
  }
  return true;
}

bool IsKnownScheme(const std::string& scheme) {
  for (const char* known : kLaunchSchemes) {
    if (TextEquals(scheme, known)) return true;
  }
  return false;
}

// host[:port], where host is a name or a bracketed IPv6 address.
bool IsValidAuthority(const std::string& authority) {
  std::string::size_type hostEnd;
  if (!authority.empty() && authority[0] == kIpv6Open) {
    hostEnd = authority.find(kIpv6Close);
    if (hostEnd == std::string::npos || hostEnd == 1) return false;
    if (!AllBytes(authority.substr(1, hostEnd - 1), IsIpv6Byte)) return false;
    ++hostEnd;
  } else {
    hostEnd = authority.find(kPortMark);
    if (hostEnd == std::string::npos) hostEnd = authority.size();
    if (hostEnd == 0 || !AllBytes(authority.substr(0, hostEnd), IsHostByte)) return false;
  }
  if (hostEnd == authority.size()) return true;
  const std::string port = authority.substr(hostEnd + 1);
  return authority[hostEnd] == kPortMark && !port.empty() && AllBytes(port, IsDigit);
}

// The path ("" or starting with "/") with its "." and ".." segments resolved, as a web
// client resolves them: "/a/b/../c" is "/a/c", and ".." never climbs above "/".
std::string RemoveDotSegments(const std::string& path) {
  if (path.empty()) return path;
  std::vector<std::string> kept;
  bool endsInFolder = false;
  std::string::size_type start = 1;
  for (;;) {
    std::string::size_type end = path.find(kSlash, start);
    const std::string segment = path.substr(start, end == std::string::npos ? end : end - start);
    endsInFolder = segment == "." || segment == "..";
    if (segment == ".." && !kept.empty()) kept.pop_back();
    if (!endsInFolder) kept.push_back(segment);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string resolved;
  for (const std::string& segment : kept) resolved = Concat(resolved, "/", segment);
  return endsInFolder || resolved.empty() ? Concat(resolved, "/") : resolved;
}

}  // namespace

std::vector<std::string> CommandLineTokens(const std::string& line) {
  std::vector<std::string> tokens;
  std::string::size_type i = 0;
  const std::string::size_type n = line.size();
  for (;;) {
    while (i < n && line[i] == kSpace) ++i;
    if (i >= n) break;
    const char end = line[i] == kQuote ? kQuote : kSpace;
    if (end == kQuote) ++i;
    const std::string::size_type start = i;
    while (i < n && line[i] != end) ++i;
    tokens.push_back(line.substr(start, i - start));
    if (i < n) ++i;  // the closing quote or the separating space
  }
  return tokens;
}

CommandLineArguments ReadArguments(const std::string& line) {
  const std::vector<std::string> tokens = CommandLineTokens(line);
  CommandLineArguments args;
  args.count = static_cast<int>(tokens.size()) - 1;
  if (tokens.size() >= 2) args.ownerHandle = TextToNumber(tokens[1]);
  return args;
}

std::optional<LinkRange> WholeLinkRange(int32_t first, int32_t last) {
  // A negative end means "to the end of the text", which is unbounded.
  if (first < 0 || last < first || last - first > kLinkTextLimit) return std::nullopt;
  return LinkRange{first, last};
}

std::optional<OpenableLink> OpenableLinkOf(const std::string& link) {
  if (HoldsUnsafeByte(link)) return std::nullopt;
  const std::string address =
      StartsWith(ToLowerCase(link), kWebPrefix) ? Concat(kWebScheme, link) : link;
  const std::string::size_type schemeEnd = address.find(kSchemeEnd);
  if (schemeEnd == std::string::npos) return std::nullopt;
  const std::string scheme = ToLowerCase(address.substr(0, schemeEnd));
  if (!IsKnownScheme(scheme)) return std::nullopt;
  const std::string::size_type authorityStart = schemeEnd + TextLength(kSchemeEnd);
  const std::string::size_type authorityEnd = address.find_first_of(kAuthorityEnds, authorityStart);
  if (!IsValidAuthority(address.substr(authorityStart, authorityEnd - authorityStart))) {
    return std::nullopt;
  }
  if (authorityEnd == std::string::npos) return OpenableLink{address, scheme};
  // The shell may look an address up as a file, where "/.." segments would climb out.
  const std::string::size_type pathEnd = address.find_first_of(kPathEnds, authorityEnd);
  const std::string path = address.substr(authorityEnd, pathEnd - authorityEnd);
  const std::string rest = pathEnd == std::string::npos ? "" : address.substr(pathEnd);
  return OpenableLink{Concat(address.substr(0, authorityEnd), RemoveDotSegments(path), rest),
                      scheme};
}
