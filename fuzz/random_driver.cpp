// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a fuzz target without libFuzzer: on the files (or every file in the folders) named on
// the command line, else on pseudo-random inputs built mostly from the bytes the parsers
// care about.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "fuzz/fuzz_target.h"
#include "text/text.h"

namespace {

const int kDefaultIterations = 200000;
const size_t kLongestInput = 300;
const char kIterationsOption[] = "--iterations=";
const char kInterestingBytes[] = "<a class=\"rb\" href='>| \t\r\nAZaz09-+\xC9\xDF\xE9\xFF\x80";

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  Run(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

}  // namespace

// Usage: driver [--iterations=N] | driver file-or-folder...
// The count comes only from the option: corpus files are named by hash and may begin with
// digits.
int main(int argc, char** argv) {
  int iterations = kDefaultIterations;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (StartsWith(arg, kIterationsOption)) {
      iterations = TextToNumber(RightPart(arg, TextLength(arg) - TextLength(kIterationsOption)));
    } else if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        RunFile(entry.path());
        ++files;
      }
    } else {
      RunFile(arg);
      ++files;
    }
  }
  if (files > 0) {
    std::printf("ran %d files\n", files);
    return 0;
  }
  std::mt19937 random(12345);
  std::string input;
  for (int i = 0; i < iterations; ++i) {
    input.clear();
    const size_t length = random() % kLongestInput;
    for (size_t k = 0; k < length; ++k) {
      const unsigned pick = random();
      if (pick % 4 == 0) {
        input.push_back(static_cast<char>(pick >> 8));
      } else {
        input.push_back(kInterestingBytes[(pick >> 8) % (sizeof kInterestingBytes - 1)]);
      }
    }
    Run(input);
  }
  std::printf("ran %d random inputs\n", iterations);
  return 0;
}
