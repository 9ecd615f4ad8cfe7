// SPDX-License-Identifier: GPL-2.0-or-later
// Times writing 100,000 channels to channels.dat through the output buffer, against the
// same bytes written one piece per write, and counts the writes each way.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "harvest/channel_file.h"
#include "text/text.h"

namespace {

const int kRecords = 100000;
const int kRounds = 3;

struct Timing {
  double seconds = 0;  // best of kRounds
  long writes = 0;
  bool ok = true;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Times a save of the list; unbuffered hands each line and each CR LF to the file alone.
Timing TimeSave(ChannelList& list, const std::string& path, bool unbuffered) {
  Timing timing;
  for (int round = 0; round < kRounds; ++round) {
    long writes = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = ReplaceFile(path, [&](const ByteSink& sink) {
      const ByteSink counting = [&](const char* bytes, size_t count) {
        ++writes;
        return sink(bytes, count);
      };
      if (!unbuffered) return WriteChannelLines(list, counting);
      Rewind(list);
      for (const ChannelRecord* r = NextRecord(list); r != nullptr; r = NextRecord(list)) {
        const std::string line = ChannelLine(*r);
        if (!counting(line.data(), line.size()) || !counting("\r\n", 2)) return false;
      }
      return true;
    }).saved;
    const double seconds = Seconds(start);
    timing.ok = timing.ok && ok;
    timing.writes = writes;
    if (round == 0 || seconds < timing.seconds) timing.seconds = seconds;
  }
  return timing;
}

}  // namespace

int main() {
  ChannelList list;
  std::mt19937 random(1);
  for (int i = 0; i < kRecords; ++i) {
    const std::string n = NumberToText(i);
    AddRecord(list, ChannelRecord{"Country " + n, "Channel " + n, "300K", "News",
                                  std::string(20 + random() % 100, 'a'),
                                  "mms://stream.example/" + n, "http://www.example/" + n});
  }
  std::random_device seed;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("morvek-bench-" + NumberToText(seed() % 1000000));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "channels.dat").string();

  const Timing buffered = TimeSave(list, path, false);
  const Timing unbuffered = TimeSave(list, path, true);
  const auto bytes = std::filesystem::file_size(path);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  std::printf("records: %d, file: %llu bytes, best of %d rounds, each with flush to disk\n",
              kRecords, static_cast<unsigned long long>(bytes), kRounds);
  std::printf("buffered:   %8.1f ms, %8ld writes\n", buffered.seconds * 1000, buffered.writes);
  std::printf("unbuffered: %8.1f ms, %8ld writes\n", unbuffered.seconds * 1000, unbuffered.writes);
  std::printf("unbuffered / buffered time: %.1f\n", unbuffered.seconds / buffered.seconds);
  if (!buffered.ok || !unbuffered.ok) {
    std::printf("a save failed\n");
    return 1;
  }
  return 0;
}
