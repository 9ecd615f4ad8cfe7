// Runs a fuzz target without libFuzzer: on the files named on the command line, else on
// pseudo-random inputs built mostly from the bytes the parsers care about.
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "fuzz/fuzz_target.h"
#include "text/text.h"

namespace {

const int kDefaultIterations = 200000;
const size_t kLongestInput = 300;
const char kInterestingBytes[] = "<a class=\"rb\" href='>| \t\r\nAZaz09-+\xC9\xDF\xE9\xFF\x80";

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

// Usage: driver [iterations] | driver file...
int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  const int iterations = first.empty() ? kDefaultIterations : TextToNumber(first);
  if (argc > 1 && iterations <= 0) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      Run(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    std::printf("ran %d files\n", argc - 1);
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
