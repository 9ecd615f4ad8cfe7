// SPDX-License-Identifier: GPL-2.0-or-later
// Page fetches through the platform transport (libcurl, or WinINet under Wine) against the
// test web server: every kind of reply and fault it can produce, and cancellation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fetch/fetch.h"

namespace {

const int kBigLine = 64;
const std::string kEmpty;

// The server's generated body: "\n" at offsets 63, 127, ..., else "a".."z" repeating.
char BigByte(size_t i) {
  return i % kBigLine == kBigLine - 1 ? '\n' : static_cast<char>('a' + i % 26);
}

std::string Big(size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to; i++) s.push_back(BigByte(i));
  return s;
}

std::string Big(size_t size) { return Big(0, size); }

uint64_t Fnv1a(uint64_t hash, char byte) {
  return (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
}

const uint64_t kFnvStart = 14695981039346656037ull;

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The server's port: MORVEK_TEST_PORT, else the first line of the file MORVEK_TEST_PORT_FILE.
std::string ServerPort() {
  if (const char* port = std::getenv("MORVEK_TEST_PORT")) return Trimmed(port);
  const char* file = std::getenv("MORVEK_TEST_PORT_FILE");
  std::string port;
  if (file != nullptr) {
    std::ifstream in(file);
    std::getline(in, port);
  }
  return Trimmed(port);
}

class FetchHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ServerPort();
    ASSERT_FALSE(port_.empty()) << "set MORVEK_TEST_PORT or MORVEK_TEST_PORT_FILE (see tests/server/serve.sh)";
  }
  void TearDown() override { ResumeFetches(); }
  std::string Address(const std::string& path) const { return "http://127.0.0.1:" + port_ + path; }
  std::string port_;
};

TEST_F(FetchHttpTest, EveryReplyGivesItsBodyAsThePage) {
  std::string bytes;
  for (int b = 1; b < 256; b++) bytes.push_back(static_cast<char>(b));
  bytes += "\r\n";
  struct Case {
    const char* path;
    std::string page;
  };
  const std::vector<Case> cases = {
      {"/_big/5000", Big(5000)},
      {"/_big/4096", Big(4096)},
      {"/bytes.bin", bytes},
      {"/_fault/delay/300/_big/3000", Big(3000)},
      {"/_fault/stall/1500/_big/10000", Big(10000)},
      {"/_chunked/_big/10000", Big(10000)},
      {"/_redirect/_big/777", Big(777)},
      {"/_redirect/_redirect/_chunked/_big/4100", Big(4100)},
      {"/_status/404", "<html><body>Status 404</body></html>\n"},
      {"/_status/500", "<html><body>Status 500</body></html>\n"},
      {"/_status/500/_big/3000", Big(3000)},
      {"/no-such-page.htm", "<html><body>Not found: /no-such-page.htm</body></html>\n"},
      {"/_empty", kEmpty},
      {"/_chunked/_empty", kEmpty},
      {"/_status/404/_empty", kEmpty},
      // A zero byte cuts its 2048-byte chunk; later chunks still count.
      {"/_fault/zero/2058/_big/5000", Big(2058) + Big(4096, 5000)},
      {"/_chunked/_fault/zero/2058/_big/5000", Big(2058) + Big(4096, 5000)},
      {"/_fault/zero/0,4096/_big/6000", Big(2048, 4096)},
      {"/_fault/zero/0/_big/1", kEmpty},
      // Closed in the middle of the body: what arrived is the page.
      {"/_fault/close/_big/100000", Big(50000)},
      {"/_fault/closeat/3000/_chunked/_big/10000", Big(3000)},
      {"/_fault/closeat/0/_big/10000", kEmpty},
  };
  for (const Case& c : cases) {
    PageBuffer page = FetchPage(Address(c.path));
    EXPECT_EQ(page.size(), c.page.size()) << c.path;
    EXPECT_TRUE(page.bytes == c.page) << c.path;
  }
}

// A reset connection may lose what the client had not yet read; the page is never more.
TEST_F(FetchHttpTest, EachPageComesWithItsHttpStatusOrTransportError) {
  struct Case {
    std::string address;
    int status;
    bool failed;
  };
  const std::vector<Case> cases = {
      {Address("/_big/5000"), 200, false},        {Address("/_redirect/_big/777"), 200, false},
      {Address("/_status/404"), 404, false},      {Address("/_status/500/_big/3000"), 500, false},
      {Address("/no-such-page.htm"), 404, false}, {"http://127.0.0.1:1/", 0, true},
      {"unknown://127.0.0.1/", 0, true},
  };
  for (const Case& c : cases) {
    PageBuffer page = FetchPage(c.address);
    EXPECT_EQ(page.outcome.status, c.status) << c.address;
    EXPECT_EQ(page.outcome.error.empty(), !c.failed) << c.address << ": " << page.outcome.error;
  }
}

TEST_F(FetchHttpTest, AResetConnectionGivesAPrefixOfTheBody) {
  PageBuffer page = FetchPage(Address("/_fault/reset/_big/100000"));
  EXPECT_LE(page.size(), 50000u);
  EXPECT_TRUE(page.bytes == Big(page.size()));
}

// With a timeout of one second, a server that sends its headers and falls silent ends the page
// within a few seconds, and one that trickles a byte every 20 ms ends it after the page limit
// of ten seconds with what had arrived; on both transports, Wine's WinINet too.
TEST_F(FetchHttpTest, SilentAndTricklingServersEndThePageInTime) {
  struct Case {
    const char* path;
    double fewestSeconds, mostSeconds;
    size_t fewestBytes, mostBytes;
  };
  const std::vector<Case> cases = {{"/_fault/hang/_big/1000", 0.5, 5, 0, 0},
                                   {"/_fault/trickle/20/_big/100000", 9, 20, 50, 600}};
  SetFetchTimeout(1);
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    PageBuffer page = FetchPage(Address(c.path));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, c.fewestSeconds) << c.path;
    EXPECT_LE(took, c.mostSeconds) << c.path;
    EXPECT_GE(page.size(), c.fewestBytes) << c.path;
    EXPECT_LE(page.size(), c.mostBytes) << c.path;
    EXPECT_TRUE(page.bytes == Big(page.size())) << c.path;
  }
  SetFetchTimeout(kDefaultFetchTimeoutSeconds);
}

TEST_F(FetchHttpTest, AnAddressThatDoesNotOpenGivesAnEmptyPage) {
  const std::vector<std::string> addresses = {"http://127.0.0.1:1/", "", "not an address",
                                              "http://127.0.0.1:/x", "unknown://127.0.0.1/"};
  for (const std::string& address : addresses) EXPECT_EQ(FetchPage(address).size(), 0u) << address;
}

TEST_F(FetchHttpTest, FiftyMegabytesArriveWhole) {
  const size_t size = 50 * 1000 * 1000;
  PageBuffer page = FetchPage(Address("/_big/" + std::to_string(size)));
  ASSERT_EQ(page.size(), size);
  uint64_t expected = kFnvStart, actual = kFnvStart;
  for (size_t i = 0; i < size; i++) {
    expected = Fnv1a(expected, BigByte(i));
    actual = Fnv1a(actual, page.bytes[i]);
  }
  EXPECT_EQ(actual, expected);
}

TEST_F(FetchHttpTest, EachFetchAsksTheServerAgain) {
  const std::string name = "again" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  std::string first = FetchPage(Address("/_counter/" + name)).bytes;
  std::string second = FetchPage(Address("/_counter/" + name)).bytes;
  EXPECT_EQ(first, name + " 1\n");
  EXPECT_EQ(second, name + " 2\n");
}

// Pages fetched one after another on a thread share one connection; one that the server
// breaks off is not reused, and the next fetch still works.
TEST_F(FetchHttpTest, ConsecutiveFetchesReuseTheConnection) {
  std::string first = FetchPage(Address("/_peer")).bytes;
  EXPECT_EQ(FetchPage(Address("/_chunked/_big/5000")).size(), 5000u);
  EXPECT_EQ(FetchPage(Address("/_peer")).bytes, first);
  EXPECT_EQ(FetchPage(Address("/_fault/close/_big/100000")).size(), 50000u);
  std::string next = FetchPage(Address("/_peer")).bytes;
  EXPECT_NE(next, first);
  EXPECT_EQ(FetchPage(Address("/_peer")).bytes, next);
}

// The request names the agent "QV" and adds nothing of its own beyond what the library
// always sends; proxy variables in the environment (set by the test) are not used.
TEST_F(FetchHttpTest, TheRequestCarriesOnlyTheAgentAndLibraryDefaults) {
  std::string echo = FetchPage(Address("/_echo")).bytes;
  ASSERT_EQ(echo.compare(0, 20, "GET /_echo HTTP/1.1\r"), 0) << echo;
  EXPECT_NE(echo.find("\r\nUser-Agent: QV\r\n"), std::string::npos) << echo;
  const std::vector<std::string> allowed = {"Host", "User-Agent", "Accept", "Connection", "Cache-Control",
                                            "Pragma"};
  size_t start = echo.find("\r\n") + 2;
  while (start < echo.size()) {
    size_t end = echo.find("\r\n", start);
    std::string name = echo.substr(start, echo.find(':', start) - start);
    bool known = false;
    for (const std::string& a : allowed) known = known || a == name;
    EXPECT_TRUE(known) << "unexpected header " << echo.substr(start, end - start);
    start = end + 2;
  }
}

// Cancelling from another thread (a console control handler, a signal) ends a fetch that
// waits on a silent server: the part that comes after the cancel is not taken, later
// fetches do not start, and fetches work again after ResumeFetches. The fetch ends at once,
// also where WinINet's call goes on until the server wakes up (Wine).
TEST_F(FetchHttpTest, CancelEndsAWaitingFetch) {
  struct Case {
    const char* path;
    size_t most;
  };
  const std::vector<Case> cases = {{"/_fault/delay/4000/_big/10000", 0},
                                   {"/_fault/stall/4000/_big/100000", 50000}};
  for (const Case& c : cases) {
    std::thread canceller([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      CancelFetches();
    });
    const auto start = std::chrono::steady_clock::now();
    PageBuffer page = FetchPage(Address(c.path));
    const auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_LT(took, std::chrono::seconds(2)) << c.path;
    EXPECT_LE(page.size(), c.most) << c.path;
    EXPECT_TRUE(page.bytes == Big(page.size())) << c.path;
    EXPECT_EQ(FetchPage(Address("/_big/10")).size(), 0u) << "a fetch after the cancel must not start";
    ResumeFetches();
    EXPECT_EQ(FetchPage(Address("/_big/10")).bytes, Big(10));
  }
}

// file:// addresses work where the library supports them (libcurl); the build passes the
// address of a known file in MORVEK_TEST_FILE_ADDRESS.
TEST_F(FetchHttpTest, AFileAddressGivesTheFile) {
  const char* address = std::getenv("MORVEK_TEST_FILE_ADDRESS");
  if (address == nullptr) GTEST_SKIP() << "no file address for this platform";
  PageBuffer page = FetchPage(address);
  ASSERT_EQ(page.size(), 257u);
  EXPECT_EQ(page.bytes.front(), '\x01');
  EXPECT_EQ(page.bytes.substr(253), "\xfe\xff\r\n");
}

// A local file far larger than what the transport holds back at once arrives whole.
TEST_F(FetchHttpTest, ALargeFileAddressGivesTheWholeFile) {
  if (std::getenv("MORVEK_TEST_FILE_ADDRESS") == nullptr) GTEST_SKIP() << "no file addresses here";
  const std::string path =
      (std::filesystem::temp_directory_path() /
       ("morvek-fetch-large-file-" + std::to_string(std::random_device()()) + ".txt"))
          .string();
  const std::string body = Big(1000000);
  std::ofstream(path, std::ios::binary) << body;
  PageBuffer page = FetchPage("file://" + path);
  std::filesystem::remove(path);
  EXPECT_EQ(page.size(), body.size());
  EXPECT_TRUE(page.bytes == body);
}

}  // namespace
