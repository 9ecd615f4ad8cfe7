// SPDX-License-Identifier: GPL-2.0-or-later
// The chunk loop of a page fetch over a scripted transport: what each sequence of reads gives.
#include "fetch/fetch.h"
#include "fetch/fetch_address.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// One scripted read: the bytes placed in the buffer and the count the read returns.
struct ScriptedRead {
  std::string bytes;
  int result;
};

// The fake transport's script and what it saw.
struct FakeTransportState {
  bool opens = true;
  std::vector<ScriptedRead> reads;
  size_t nextRead = 0;
  std::vector<std::string> openedAddresses;
  std::vector<int> capacities;
  int closeCalls = 0;
  bool closedNull = false;
};

FakeTransportState g_fake;

FetchConnection* FakeOpen(const std::string& address) {
  g_fake.openedAddresses.push_back(address);
  g_fake.nextRead = 0;
  return g_fake.opens ? reinterpret_cast<FetchConnection*>(&g_fake) : nullptr;
}

int FakeRead(FetchConnection*, char* buffer, int capacity) {
  g_fake.capacities.push_back(capacity);
  if (g_fake.nextRead >= g_fake.reads.size()) return 0;
  const ScriptedRead& read = g_fake.reads[g_fake.nextRead++];
  std::memcpy(buffer, read.bytes.data(), std::min(read.bytes.size(), static_cast<size_t>(capacity)));
  return read.result;
}

void FakeClose(FetchConnection* connection) {
  g_fake.closeCalls++;
  g_fake.closedNull = connection == nullptr;
}

const FetchTransport kFakeTransport = {FakeOpen, FakeRead, FakeClose};

// n bytes of a pattern that differs per seed, so chunks cannot be mistaken for each other.
std::string Pattern(size_t n, int seed) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('A' + (i * 7 + static_cast<size_t>(seed) * 5) % 58);
  return s;
}

ScriptedRead Chunk(const std::string& bytes) { return {bytes, static_cast<int>(bytes.size())}; }

std::string WithZeroAt(std::string s, size_t offset) {
  s[offset] = '\0';
  return s;
}

TEST(FetchTest, ReadPageJoinsChunksUntilAnEmptyOrFailedRead) {
  const std::string a = Pattern(2048, 1), b = Pattern(2048, 2), end = Pattern(904, 3);
  const std::string s100 = Pattern(100, 4), s7 = Pattern(7, 5);
  const std::string tail = Pattern(50, 6);
  struct Case {
    const char* name;
    bool opens;
    std::vector<ScriptedRead> reads;
    std::string page;
    size_t readCalls;
    const char* error = "";
    size_t limit = 0;  // a lowered page limit; 0 for kPageByteLimit
  };
  const std::vector<Case> cases = {
      {"5000 bytes as 2048+2048+904+0", true, {Chunk(a), Chunk(b), Chunk(end), {"", 0}}, a + b + end, 4},
      {"short reads mid-body do not end the page", true,
       {Chunk(s100), Chunk(a), Chunk(s7), Chunk(b), {"", 0}}, s100 + a + s7 + b, 5},
      {"a zero byte cuts only its own chunk", true,
       {Chunk(a), Chunk(WithZeroAt(b, 10)), Chunk(end), {"", 0}}, a + b.substr(0, 10) + end, 4},
      {"a zero byte first in a chunk drops that chunk only", true,
       {Chunk(a), Chunk(WithZeroAt(s100, 0)), Chunk(s7), {"", 0}}, a + s7, 4},
      {"a failed read keeps what came before", true, {Chunk(a), {b, -1}, Chunk(end)}, a, 2, kReadError},
      {"a failed first read gives an empty page", true, {{a, -1}, Chunk(b)}, "", 1, kReadError},
      {"an empty read ends the page even if more would come", true,
       {Chunk(s100), {"", 0}, Chunk(tail)}, s100, 2},
      {"an empty body gives an empty page", true, {{"", 0}}, "", 1},
      {"an address that does not open gives an empty page", false, {Chunk(a)}, "", 0, kNotOpenedError},
      {"a page of exactly the limit ends well", true, {Chunk(a), Chunk(b), Chunk(end), {"", 0}},
       a + b + end, 4, "", 5000},
      {"a byte over the limit ends the page at it", true, {Chunk(a), Chunk(b), Chunk(end), {"", 0}},
       a + b + end.substr(0, 903), 3, kPageLimitReached, 4999},
      {"the limit counts the bytes kept, not those a zero byte cut", true,
       {Chunk(WithZeroAt(a, 0)), Chunk(b), {"", 0}}, b, 3, "", 2048},
  };
  for (const Case& c : cases) {
    g_fake = FakeTransportState();
    g_fake.opens = c.opens;
    g_fake.reads = c.reads;
    SetPageByteLimit(c.limit);
    PageBuffer page = ReadPage("http://site.test/a b?x=1", kFakeTransport);
    SetPageByteLimit(0);
    EXPECT_EQ(page.bytes, c.page) << c.name;
    EXPECT_EQ(page.size(), c.page.size()) << c.name;
    EXPECT_EQ(page.outcome.error, c.error) << c.name;
    EXPECT_EQ(page.outcome.status, 0) << c.name;
    EXPECT_EQ(g_fake.capacities.size(), c.readCalls) << c.name;
    for (int capacity : g_fake.capacities) EXPECT_EQ(capacity, kChunkSize) << c.name;
    ASSERT_EQ(g_fake.openedAddresses.size(), 1u) << c.name;
    EXPECT_EQ(g_fake.openedAddresses[0], "http://site.test/a b?x=1") << c.name;
    EXPECT_EQ(g_fake.closeCalls, 1) << c.name;
    EXPECT_EQ(g_fake.closedNull, !c.opens) << c.name;
  }
  // A page read into the memory of an earlier page holds nothing of it.
  g_fake = FakeTransportState();
  g_fake.reads = {Chunk(s7), {"", 0}};
  PageBuffer earlier{a + b, FetchOutcome{404, kReadError}};
  PageBuffer page = ReadPage("http://site.test/", kFakeTransport, nullptr, std::move(earlier));
  EXPECT_EQ(page.bytes, s7);
  EXPECT_EQ(page.outcome.status, 0);
  EXPECT_EQ(page.outcome.error, "");
}

FetchOutcome FakeOutcome(FetchConnection* connection) {
  return connection == nullptr ? FetchOutcome{0, "host not found"} : FetchOutcome{404, ""};
}

TEST(FetchTest, TheTransportsOutcomeGoesWithThePageAndItsWordsWin) {
  FetchTransport transport = kFakeTransport;
  transport.outcome = FakeOutcome;
  g_fake = FakeTransportState();
  g_fake.reads = {Chunk("Not found\n"), {"", -1}};
  PageBuffer page = ReadPage("http://site.test/", transport);
  EXPECT_EQ(page.bytes, "Not found\n");
  EXPECT_EQ(page.outcome.status, 404);
  EXPECT_EQ(page.outcome.error, kReadError);  // the transport had no words for the failed read
  g_fake = FakeTransportState();
  g_fake.opens = false;
  EXPECT_EQ(ReadPage("http://site.test/", transport).outcome.error, "host not found");
}

// A server that never ends its page: every read fills the buffer.
int EndlessRead(FetchConnection*, char* buffer, int capacity) {
  std::memset(buffer, '\n', static_cast<size_t>(capacity));
  return capacity;
}

TEST(FetchTest, AnEndlessPageEndsAtThePageLimitWithThatOutcome) {
  FetchTransport endless = kFakeTransport;
  endless.read = EndlessRead;
  g_fake = FakeTransportState();
  PageBuffer page = ReadPage("http://site.test/", endless);
  EXPECT_EQ(page.size(), kPageByteLimit);
  EXPECT_EQ(page.outcome.error, kPageLimitReached);
  EXPECT_EQ(g_fake.closeCalls, 1);
}

TEST(FetchTest, FetchPageUsesTheOverriddenTransportAndOpensAnewEachTime) {
  g_fake = FakeTransportState();
  g_fake.reads = {Chunk("line one\nline two\n"), {"", 0}};
  g_fetchTransport = &kFakeTransport;
  PageBuffer first = FetchPage("http://site.test/television/tvbar.htm");
  PageBuffer second = FetchPage("http://site.test/television/tvbar.htm");
  g_fetchTransport = nullptr;
  EXPECT_EQ(first.bytes, "line one\nline two\n");
  EXPECT_EQ(second.bytes, first.bytes);
  EXPECT_EQ(g_fake.openedAddresses.size(), 2u);
  EXPECT_EQ(g_fake.closeCalls, 2);
}

}  // namespace

namespace {

// Both transports request these bytes, so that libcurl fetches what WinINet fetches.
TEST(FetchAddressTest, BytesThatCannotStandInAUrlAreEscapedAndTheRestKept) {
  const struct {
    std::string address;
    std::string requested;
  } cases[] = {
      {"http://h/a\tb.htm", "http://h/a%09b.htm"},
      {"http://h/a b.htm", "http://h/a%20b.htm"},
      {"http://h/a\x7f" "b", "http://h/a%7Fb"},
      {"http://h/a\x80\xe9\xff", "http://h/a%80%E9%FF"},
      {std::string("http://h/a\x01\x1f", 12), "http://h/a%01%1F"},
      {"http://h/a\\b.htm?q=a\\b", "http://h/a/b.htm?q=a\\b"},
      {"http://h/a.htm#top b", "http://h/a.htm"},
      {"http://h/a%20b%7C?x=\"<>{}|^`", "http://h/a%20b%7C?x=\"<>{}|^`"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapedAddress(c.address), c.requested) << c.address;
}

}  // namespace
