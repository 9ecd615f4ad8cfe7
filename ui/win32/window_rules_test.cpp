// SPDX-License-Identifier: GPL-2.0-or-later
// The window program's pure decisions: command-line tokens, link range and filter.
#include "ui/win32/window_rules.h"

#include <gtest/gtest.h>

#include <vector>

#include "text/text.h"

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

TEST(WindowRulesTest, OnlyALinkThatFitsTheBufferWholeIsRead) {
  struct Case {
    int32_t first, last;
    bool whole;
  };
  const std::vector<Case> cases = {
      {10, 30, true},   {0, 511, true},  {5, 5, true},    {100, 611, true},
      {0, 512, false},  {100, 700, false}, {7, -1, false}, {-1, 20, false},
      {30, 10, false},  {2147483000, 2147483647, false},
  };
  for (const Case& c : cases) {
    const std::optional<LinkRange> range = WholeLinkRange(c.first, c.last);
    EXPECT_EQ(range.has_value(), c.whole) << c.first << " " << c.last;
    if (range) {
      EXPECT_EQ(range->last - range->first, c.last - c.first);
    }
  }
}

// What a link from a page opens: "" for nothing, else the address handed to the shell.
TEST(WindowRulesTest, OnlyWebAndStreamAddressesWithAHostOpen) {
  struct Case {
    std::string link, address;
  };
  const std::vector<Case> cases = {
      {"http://wwitv.example/", "http://wwitv.example/"},
      {"HTTPS://Example.com/x", "HTTPS://Example.com/x"},
      {"ftp://files.example/a", "ftp://files.example/a"},
      {"mms://stream.example/live", "mms://stream.example/live"},
      {"MMSH://stream.example/live", "MMSH://stream.example/live"},
      {"rtsp://cam.example:554/a", "rtsp://cam.example:554/a"},
      {"rtmp://live.example/app", "rtmp://live.example/app"},
      {"http://[::1]:8080/x", "http://[::1]:8080/x"},
      {"http://my_host.example?q=1#top", "http://my_host.example?q=1#top"},
      {"www.example.com", "http://www.example.com"},
      {"WWW.Example.com/a?b=c", "http://WWW.Example.com/a?b=c"},
      {"http://example.com/caf\xE9", "http://example.com/caf\xE9"},
      // "." and ".." segments are resolved as a web client does, never above the host.
      {"http://tv.example/../../windows/system32/calc.exe",
       "http://tv.example/windows/system32/calc.exe"},
      {"http://h.example/a/./b/../c/?x=/../y#/..", "http://h.example/a/c/?x=/../y#/.."},
      {"http://h.example/a/b/..", "http://h.example/a/"},
      {"http://h.example/..", "http://h.example/"},
      {"http://h.example/a//b/.", "http://h.example/a//b/"},
      {"http://h.example?q", "http://h.example?q"},
      {"http://tv.example/%2e%2e/%2e%2e/calc.exe", "http://tv.example/%2e%2e/%2e%2e/calc.exe"},
      {"", ""},
      {"http:", ""},
      {"http://", ""},
      {"http:///etc/passwd", ""},
      {"http://:80/", ""},
      {"http://host:/", ""},
      {"http://host:8o/", ""},
      {"http://[]/", ""},
      {"http://[::1/", ""},
      {"http://user:pw@evil.example/", ""},
      {"http://tv.example@evil.example/", ""},
      {"http:\\\\server\\share\\calc.exe", ""},
      {"http://tv.example\\..\\calc.exe", ""},
      {"\\\\server\\share\\calc.exe", ""},
      {"file:///C:/Windows/system32/calc.exe", ""},
      {"C:\\Windows\\system32\\calc.exe", ""},
      {"calc.exe", ""},
      {"www.evil.com.exe\\x", ""},
      {"mailto:someone@example.com", ""},
      {"javascript:alert(1)", ""},
      {"httpx://example.com", ""},
      {"ww.example.com", ""},
      {" http://example.com", ""},
      {"http://example.com/a b", ""},
      {"\"http://example.com\" --evil", ""},
      {"http://example.com/\"x", ""},
      {"http://example.com/\tx", ""},
      {"http://example.com/\x7f", ""},
      {"http://example.com/\r\n", ""},
      {"www.example.com\x01", ""},
      {"http://ex\xE4mple.com/", ""},
  };
  for (const Case& c : cases) {
    const std::optional<OpenableLink> link = OpenableLinkOf(c.link);
    EXPECT_EQ(link ? link->address : "", c.address) << c.link;
    if (link) {
      EXPECT_EQ(link->scheme, ToLowerCase(link->address.substr(0, link->address.find(':'))));
    }
  }
}

}  // namespace
