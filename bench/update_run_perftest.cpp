// SPDX-License-Identifier: GPL-2.0-or-later
// Times the update run over a large in-memory directory: line scan, row parsing,
// classification and the channel list, without network or window. Prints the figures.
//   update_run_perftest [countries] [rows per country]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "fetch/fetch.h"
#include "harvest/update_run.h"
#include "text/text.h"

namespace {

const char kBase[] = "http://bench.test/";
std::map<std::string, std::string> g_pages;

struct Reader {
  const std::string* bytes;
  size_t offset;
};

FetchConnection* OpenPage(const std::string& address) {
  auto page = g_pages.find(address);
  if (page == g_pages.end()) return nullptr;
  return reinterpret_cast<FetchConnection*>(new Reader{&page->second, 0});
}

int ReadPage(FetchConnection* connection, char* buffer, int capacity) {
  Reader* reader = reinterpret_cast<Reader*>(connection);
  size_t count = reader->bytes->size() - reader->offset;
  if (count > static_cast<size_t>(capacity)) count = static_cast<size_t>(capacity);
  std::memcpy(buffer, reader->bytes->data() + reader->offset, count);
  reader->offset += count;
  return static_cast<int>(count);
}

void ClosePage(FetchConnection* connection) { delete reinterpret_cast<Reader*>(connection); }

const FetchTransport kMemoryTransport = {OpenPage, ReadPage, ClosePage};

int ArgumentOr(int argc, char** argv, int i, int fallback) {
  int value = i < argc ? TextToNumber(argv[i]) : 0;
  return value > 0 ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  int countries = ArgumentOr(argc, argv, 1, 50);
  int rows = ArgumentOr(argc, argv, 2, 2000);
  std::string index;
  size_t total = 0;
  for (int c = 0; c < countries; ++c) {
    std::string target = Concat("c", NumberToText(c), ".htm");
    index += Concat("<a class=\"rb\" href=\"", target, "\" target=\"c\">COUNTRY ", NumberToText(c),
                    "\r\n</a><br>\r\n");
    std::string page = "<html><body><table>\r\n";
    for (int r = 0; r < rows; ++r) {
      std::string n = NumberToText(r);
      page += Concat("<tr><td class=\"name\" valign=\"top\"><span class=\"c\" id=\"r", n,
                     "\"><b><a href=\"http://www.ch", n, ".example.com/\" target=\"_blank\">Channel ",
                     n, "</a></b></span>\r\n</td><td class=\"s\">\r\n");
      page += Concat("<a class=\"m\" href=\"javascript:w('2','mms://media.ch", n,
                     ".example.com/live','r", n, "')\">300K</a> <b>\r\n");
      page += Concat(" </td><td class=\"q\"><img src=\"q3.gif\" alt=\"quality\"></td><td "
                     "class=\"t\">LIVE</td><td class=\"a\">Regional television and weather.</td></tr>\r\n");
    }
    page += "</table></body></html>\r\n";
    total += page.size();
    g_pages[Concat(kBase, "television/", target)] = page;
  }
  g_pages[Concat(kBase, "television/tvbar.htm")] = index;
  g_fetchTransport = &kMemoryTransport;

  HarvestState state;
  HarvestObserver quiet;
  auto start = std::chrono::steady_clock::now();
  RunUpdate(state, {kBase, "update_run_perftest.dat", 1, {}}, quiet);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::remove("update_run_perftest.dat");
  std::printf("%d channels from %.1f MB of country pages in %.3f s: %.1f MB/s, %.0f channels/s\n",
              state.channelCount, static_cast<double>(total) / 1e6, took.count(),
              static_cast<double>(total) / 1e6 / took.count(), state.channelCount / took.count());
  return 0;
}
