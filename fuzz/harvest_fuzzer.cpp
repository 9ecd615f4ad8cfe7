// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzzes the whole harvest: the input holds the index page and the country pages, which an
// in-memory transport serves, so the line scan, both parsers, the classifier, the list and
// the channel file writer (into memory) run together on hostile pages.
#include <string>
#include <vector>

#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "fuzz/fuzz_target.h"
#include "harvest/channel_file.h"
#include "harvest/classifier.h"
#include "harvest/update_run.h"
#include "tests/fake_window_side.h"
#include "text/text.h"

// One open page of the in-memory transport.
struct FetchConnection {
  std::string bytes;
  size_t offset = 0;
};

namespace {

const char kBase[] = "http://site.test/";
// The input is one byte choosing the read size, then the pages in the order they are asked
// for (the index page first), each ended by this line.
const char kPageSeparator[] = "\n=page=\n";
const char kRefusedOutput[] = ".";  // a folder: the save is refused and writes nothing
const int kReadSizeStep = 8;
const int kWorkerWaitMilliseconds = 10000;

struct MemorySite {
  std::vector<std::string> pages;
  size_t nextPage = 0;
  int readSize = 1;
};
MemorySite g_site;

FetchConnection* OpenMemoryPage(const std::string& address) {
  FUZZ_CHECK(StartsWith(address, kBase));
  if (g_site.nextPage >= g_site.pages.size()) return nullptr;  // as a page that cannot be had
  return new FetchConnection{g_site.pages[g_site.nextPage++], 0};
}

int ReadMemoryPage(FetchConnection* connection, char* buffer, int capacity) {
  const size_t left = connection->bytes.size() - connection->offset;
  size_t count = static_cast<size_t>(capacity < g_site.readSize ? capacity : g_site.readSize);
  if (count > left) count = left;
  connection->bytes.copy(buffer, count, connection->offset);
  connection->offset += count;
  return static_cast<int>(count);
}

void CloseMemoryPage(FetchConnection* connection) { delete connection; }

const FetchTransport kMemoryTransport = {OpenMemoryPage, ReadMemoryPage, CloseMemoryPage};

std::vector<std::string> SplitPages(const std::string& input) {
  std::vector<std::string> pages;
  size_t start = 0;
  for (size_t end; (end = input.find(kPageSeparator, start)) != std::string::npos;) {
    pages.push_back(input.substr(start, end - start));
    start = end + sizeof kPageSeparator - 1;
  }
  pages.push_back(input.substr(start));
  return pages;
}

bool KnownCategory(const std::string& category) {
  bool known = category == kUnknownCategory;
  for (const CategoryGroup& group : CategoryTable()) known = known || category == group.category;
  return known;
}

// The channel file in memory holds one CR LF line of at least six separators per channel.
void CheckChannelFile(HarvestState& state) {
  std::string file;
  FUZZ_CHECK(WriteChannelLines(state.channels, [&file](const char* bytes, size_t count) {
    file.append(bytes, count);
    return true;
  }));
  FUZZ_CHECK(CountOccurrences(file, "\r\n") == state.channelCount);
  FUZZ_CHECK(CountOccurrences(file, "\n") == state.channelCount);
  FUZZ_CHECK(CountOccurrences(file, "\r") == state.channelCount);
  FUZZ_CHECK(CountOccurrences(file, "|") >= 6 * state.channelCount);
  Rewind(state.channels);
  for (const ChannelRecord* r = NextRecord(state.channels); r; r = NextRecord(state.channels)) {
    FUZZ_CHECK(KnownCategory(r->category));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  g_site = MemorySite();
  g_site.readSize = 1 + data[0] * kReadSizeStep;
  g_site.pages = SplitPages(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  g_fetchTransport = &kMemoryTransport;

  HarvestState state;
  FakeWindowSide fake;
  RunUpdate(state, {kBase, kRefusedOutput, 1, {}}, fake);
  // The pages are fetched on a worker thread; the next input must not meet it.
  FUZZ_CHECK(WaitForFetchWorkers(kWorkerWaitMilliseconds));
  FUZZ_CHECK(!state.aborted);
  FUZZ_CHECK(state.channels.count == static_cast<size_t>(state.channelCount));
  FUZZ_CHECK(fake.shown.size() == state.channels.count);
  // A list is saved, here refused, exactly when it holds a channel.
  const bool refused = !fake.calls.empty() && StartsWith(fake.calls.back(), "ShowMessage");
  FUZZ_CHECK(refused == (state.channelCount >= 1));
  CheckChannelFile(state);
  return 0;
}
