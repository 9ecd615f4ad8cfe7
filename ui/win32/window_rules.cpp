// Decisions of the window program that need no window: command line, link filter, launch rules.
#include "ui/win32/window_rules.h"

#include "text/text.h"

namespace {

const char kSpace = ' ';
const char kQuote = '"';
const char kBackslash = '\\';
const char* const kLaunchSchemes[] = {"http", "https", "ftp", "mms", "mmsh", "rtsp", "rtmp"};
const char kWebPrefix[] = "www.";

bool HoldsUnsafeByte(const std::string& s) {
  for (char c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == kQuote || b < 32 || b == 127) return true;
  }
  return false;
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

LinkRange BoundLinkRange(int32_t first, int32_t last) {
  if (first < 0) return LinkRange{0, 0};
  // A negative end means "to the end of the text", which is unbounded too.
  if (last < 0 || last - first > kLinkTextLimit) {
    last = first > INT32_MAX - kLinkTextLimit ? INT32_MAX : first + kLinkTextLimit;
  }
  if (last < first) last = first;
  return LinkRange{first, last};
}

bool IsLaunchableLink(const std::string& link) {
  if (HoldsUnsafeByte(link)) return false;
  const std::string lower = ToLowerCase(link);
  if (StartsWith(lower, kWebPrefix)) return true;
  const std::string::size_type colon = lower.find(':');
  if (colon == std::string::npos) return false;
  const std::string scheme = lower.substr(0, colon);
  for (const char* known : kLaunchSchemes) {
    if (TextEquals(scheme, known)) return true;
  }
  return false;
}

std::string LaunchCommandLine(const std::string& target, const std::string& parameters) {
  std::string line = !target.empty() && target[0] == kQuote ? target : Concat("\"", target, "\"");
  if (!parameters.empty()) line = Concat(line, " ", parameters);
  return line;
}

std::string LaunchDirectory(const std::string& target, const std::string& directory) {
  if (!directory.empty()) return directory;
  const std::string::size_type last = target.rfind(kBackslash);
  if (last == std::string::npos || last == 0) return std::string();
  return target.substr(0, last + 1);
}
