// The window program's pure decisions: command-line tokens, link range and filter, launch rules.
#include "ui/win32/window_rules.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(WindowRulesTest, CommandLineTokensSplitAtSpacesAndQuotes) {
  struct Case {
    std::string line;
    std::vector<std::string> tokens;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"   ", {}},
      {"morvek.exe", {"morvek.exe"}},
      {"morvek.exe \"1234\"", {"morvek.exe", "1234"}},
      {"morvek.exe \"ab\"cd", {"morvek.exe", "ab", "cd"}},
      {"morvek.exe ab\"c d\"", {"morvek.exe", "ab\"c", "d\""}},
      {"morvek.exe 12\t34", {"morvek.exe", "12\t34"}},
      {"\"C:\\Program Files\\morvek.exe\" 5", {"C:\\Program Files\\morvek.exe", "5"}},
      {"morvek.exe \"\"", {"morvek.exe", ""}},
      {"morvek.exe \"open", {"morvek.exe", "open"}},
      {"  morvek.exe    7   8  ", {"morvek.exe", "7", "8"}},
      {"morvek.exe \"\" \"\"", {"morvek.exe", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(CommandLineTokens(c.line), c.tokens) << c.line;
}

TEST(WindowRulesTest, ReadArgumentsTakesTheOwnerFromTheFirstArgumentOnly) {
  struct Case {
    std::string line;
    int count;
    int32_t owner;
  };
  const std::vector<Case> cases = {
      {"", -1, 0},
      {"morvek.exe", 0, 0},
      {"morvek.exe 0", 1, 0},
      {"morvek.exe abc", 1, 0},
      {"morvek.exe \"1234\"", 1, 1234},
      {"morvek.exe 12\t34", 1, 12},
      {"morvek.exe 65598 99", 2, 65598},
      {"morvek.exe -2", 1, -2},
      {"morvek.exe 4294967295", 1, -1},
      {"morvek.exe \"\"", 1, 0},
  };
  for (const Case& c : cases) {
    const CommandLineArguments args = ReadArguments(c.line);
    EXPECT_EQ(args.count, c.count) << c.line;
    EXPECT_EQ(args.ownerHandle, c.owner) << c.line;
  }
}

TEST(WindowRulesTest, BoundLinkRangeKeepsTheTextWithinTheBuffer) {
  struct Case {
    int32_t first, last, boundFirst, boundLast;
  };
  const std::vector<Case> cases = {
      {10, 30, 10, 30},       {0, 511, 0, 511},     {0, 512, 0, 511},
      {100, 5000, 100, 611},  {7, -1, 7, 518},      {-1, 20, 0, 0},
      {30, 10, 30, 30},       {5, 5, 5, 5},         {2147483000, 2147483647, 2147483000, 2147483511},
      {2147483600, -1, 2147483600, 2147483647},
  };
  for (const Case& c : cases) {
    const LinkRange range = BoundLinkRange(c.first, c.last);
    EXPECT_EQ(range.first, c.boundFirst) << c.first << " " << c.last;
    EXPECT_EQ(range.last, c.boundLast) << c.first << " " << c.last;
    EXPECT_LE(range.last - range.first, kLinkTextLimit);
  }
}

TEST(WindowRulesTest, OnlyWebAndStreamAddressesAreLaunchable) {
  struct Case {
    std::string link;
    bool launchable;
  };
  const std::vector<Case> cases = {
      {"http://wwitv.example/", true},
      {"HTTPS://Example.com/x", true},
      {"ftp://files.example/a", true},
      {"mms://stream.example/live", true},
      {"MMSH://stream.example/live", true},
      {"rtsp://cam.example:554/a", true},
      {"rtmp://live.example/app", true},
      {"http:", true},
      {"www.example.com", true},
      {"WWW.Example.com/a?b=c", true},
      {"http://example.com/caf\xE9", true},
      {"", false},
      {"file:///C:/Windows/system32/calc.exe", false},
      {"C:\\Windows\\system32\\calc.exe", false},
      {"calc.exe", false},
      {"notes:x", false},
      {"mailto:someone@example.com", false},
      {"javascript:alert(1)", false},
      {"httpx://example.com", false},
      {"ww.example.com", false},
      {"www", false},
      {" http://example.com", false},
      {"\"http://example.com\" --evil", false},
      {"http://example.com/\"x", false},
      {"http://example.com/\tx", false},
      {"http://example.com/\x7f", false},
      {"http://example.com/\r\n", false},
      {"www.example.com\x01", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLaunchableLink(c.link), c.launchable) << c.link;
}

TEST(WindowRulesTest, LaunchCommandLineQuotesTheTargetOnce) {
  struct Case {
    std::string target, parameters, line;
  };
  const std::vector<Case> cases = {
      {"http://a.example/", "", "\"http://a.example/\""},
      {"\"C:\\x y\\p.exe\" -v", "", "\"C:\\x y\\p.exe\" -v"},
      {"\"", "", "\""},
      {"p.exe", "-a b", "\"p.exe\" -a b"},
      {"", "", "\"\""},
      {"", "x", "\"\" x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LaunchCommandLine(c.target, c.parameters), c.line) << c.target << "|" << c.parameters;
  }
}

TEST(WindowRulesTest, LaunchDirectoryEndsAtTheLastBackslashUnlessItLeads) {
  struct Case {
    std::string target, directory, result;
  };
  const std::vector<Case> cases = {
      {"http://a.example/", "", ""},
      {"C:\\Tools\\bin\\p.exe", "", "C:\\Tools\\bin\\"},
      {"a\\", "", "a\\"},
      {"\\p.exe", "", ""},
      {"\\\\server\\share\\f", "", "\\\\server\\share\\"},
      {"C:\\Tools\\p.exe", "D:\\work", "D:\\work"},
      {"", "", ""},
      {"no backslash", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LaunchDirectory(c.target, c.directory), c.result) << c.target << "|" << c.directory;
  }
}

}  // namespace
