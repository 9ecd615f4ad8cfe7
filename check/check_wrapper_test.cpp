// SPDX-License-Identifier: GPL-2.0-or-later
// Wrapper playlist entries: well-formed and broken ASX, M3U and PLS, relative addresses.
#include "check/check_wrapper.h"

#include <gtest/gtest.h>

namespace {

TEST(CheckWrapperTest, EntriesComeOutInOrderAndAbsolute) {
  struct Case {
    ContentKind kind;
    const char* body;
    std::vector<std::string> entries;
  };
  const char* base = "http://h.tv/dir/list.asx";
  const Case cases[] = {
      {ContentKind::kAsx,
       "<asx version=\"3.0\"><entry><ref href=\"mms://s/a\"/><ref href=\"b.wmv\"/></entry>"
       "<ENTRYREF HREF=\"/more.asx\"/></asx>",
       {"mms://s/a", "http://h.tv/dir/b.wmv", "http://h.tv/more.asx"}},
      // Real-world damage: upper case, unclosed elements, a bare "&", no closing tag at all.
      {ContentKind::kAsx,
       "<ASX Version=3><Entry><Ref HREF = \"http://s/x?a=1&b=2\"><Title>A & B\n<REF href='c'>",
       {"http://s/x?a=1&b=2", "http://h.tv/dir/c"}},
      {ContentKind::kAsx, "<asx><entry><title>nothing</title></entry></asx>", {}},
      // Bytes above 0x7F are requested percent-encoded as they stand, whatever the file claims.
      {ContentKind::kAsx,
       "<?xml version=\"1.0\" encoding=\"utf-8\"?><asx><entry><ref href=\"caf\xE9.asf?x=\xC3\xA9\"/>",
       {"http://h.tv/dir/caf%E9.asf?x=%C3%A9"}},
      {ContentKind::kAsx, "\x01\x02 not xml at all <", {}},
      {ContentKind::kM3u,
       "#EXTM3U\r\n#EXTINF:-1,One\r\n  one.mp3  \r\n\r\n# comment\nhttp://s/two\n",
       {"http://h.tv/dir/one.mp3", "http://s/two"}},
      {ContentKind::kPls,
       "[playlist]\nNumberOfEntries=2\nFile1=http://s/1\nTitle1=x\nfile2 = "
       "../2.mp3\nFileX=no\nFile3=\n",
       {"http://s/1", "http://h.tv/2.mp3"}},
      {ContentKind::kPls,
       "[Reference]\r\nRef1=http://s/r?MSWMExt=.asf\r\nRef2=mms://s/r\r\n",
       {"http://s/r?MSWMExt=.asf", "mms://s/r"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WrapperEntries(c.kind, c.body, base), c.entries) << c.body;
  }
}

}  // namespace
