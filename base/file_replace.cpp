// SPDX-License-Identifier: GPL-2.0-or-later
// The safe replacement of a file: the content goes into a temporary file of a unique name
// beside it, which replaces the old file only when complete.
#include "base/file_replace.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <random>

#include "base/system_error.h"
#include "text/text.h"

namespace {

// A temporary file is named after the file it replaces, plus this and 16 random hex digits.
const char kTempInfix[] = ".tmp-";
const char kHexDigits[] = "0123456789abcdef";
// Names tried before giving up; only names taken by something else cost a try.
const int kTempNameTries = 100;
const char kProblemSeparator[] = ": ";
const char kNoTempFile[] = "no new file can be created in its folder";
const char kNotWritten[] = "the new list could not be written in full; left as it was";
const char kNotReplaced[] = "could not be replaced; left as it was";
const char kHeld[] = "not replaced, as the run was stopped; left as it was";
const char kNoMemory[] = "cannot allocate memory";

std::atomic<int> g_savesUnderWay{0};
static_assert(std::atomic<int>::is_always_lock_free, "SaveUnderWay runs in signal handlers");

uint64_t RandomSeed() {
  uint64_t seed = static_cast<uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    seed ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No random source: the clock alone still differs between processes.
  }
  return seed;
}

// 16 hex digits, different on every call in this process and unlikely to repeat in another:
// a step of a counter from a random start, spread by the splitmix64 finaliser.
std::string RandomHexDigits() {
  static const uint64_t seed = RandomSeed();
  static std::atomic<uint64_t> counter{0};
  uint64_t z = seed + 0x9E3779B97F4A7C15ull * ++counter;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  std::string digits(16, '0');
  for (char& digit : digits) {
    digit = kHexDigits[z & 0xF];
    z >>= 4;
  }
  return digits;
}

// The reason followed by the system's own words for the call that just failed.
std::string WithSystemReason(const char* reason) {
  return Concat(reason, " (", SystemErrorText(LastSystemError()), ")");
}

ReplaceOutcome Refused(const std::string& path, const std::string& reason) {
  return ReplaceOutcome{false, Concat(path, kProblemSeparator, reason)};
}

// Runs its action when the scope ends, however it ends, unless dismissed.
template <typename Action>
struct ScopeGuard {
  Action action;
  bool armed = true;
  ~ScopeGuard() {
    if (armed) action();
  }
};
template <typename Action>
ScopeGuard<Action> OnScopeExit(Action action) {
  return ScopeGuard<Action>{std::move(action)};
}

// The content written into the temporary file; why not, else "". A writer that throws (no
// memory, a text it cannot encode) is a failed write like any other.
std::string WriteContent(TempFile* file, const ContentWriter& writeContent) {
  try {
    const bool written = writeContent(
        [file](const char* bytes, size_t count) { return WriteTempFile(file, bytes, count); });
    return written ? std::string() : WithSystemReason(kNotWritten);
  } catch (const std::bad_alloc&) {
    return Concat(kNotWritten, " (", kNoMemory, ")");
  } catch (const std::exception& failure) {
    return Concat(kNotWritten, " (", failure.what(), ")");
  }
}

// ReplaceFile once the stop signals are held back.
ReplaceOutcome ReplaceHeldBack(const std::string& path, const ContentWriter& writeContent,
                               const ReplaceGate& mayReplace) {
  const SaveTarget target = FindSaveTarget(path);
  if (!target.refusal.empty()) return Refused(path, target.refusal);

  TempFileResult created;
  std::string tempPath;
  for (int attempt = 0; attempt < kTempNameTries && created.file == nullptr; ++attempt) {
    tempPath = Concat(target.path, kTempInfix, RandomHexDigits());
    created = CreateTempFile(tempPath, target);
    if (created.file == nullptr && !created.nameTaken) break;
  }
  if (created.file == nullptr) return Refused(path, WithSystemReason(kNoTempFile));

  // Whatever ends this save before the rename, a throw included, leaves no temporary file.
  TempFile* file = created.file;
  auto removeTemp = OnScopeExit([&file, &tempPath] {
    if (file != nullptr) CloseTempFile(file);
    RemoveTempFile(tempPath);
  });
  std::string reason = WriteContent(file, writeContent);
  const bool written = reason.empty();
  const bool closed = CloseTempFile(file);
  file = nullptr;
  if (written && !closed) reason = WithSystemReason(kNotWritten);
  if (written && closed && mayReplace && !mayReplace()) {
    ReplaceOutcome held = Refused(path, kHeld);
    held.held = true;
    return held;
  }
  if (written && closed && MoveTempFileOver(tempPath, target.path)) {
    removeTemp.armed = false;
    return ReplaceOutcome{true, ""};
  }
  if (reason.empty()) reason = WithSystemReason(kNotReplaced);
  return Refused(path, reason);
}

}  // namespace

ReplaceOutcome ReplaceFile(const std::string& path, const ContentWriter& writeContent,
                           const ReplaceGate& mayReplace) {
  // Counted before the signals are held, so that a handler on another thread never sees a
  // temporary file that is not counted.
  ++g_savesUnderWay;
  HoldStopSignals();
  const auto release = OnScopeExit([] {
    --g_savesUnderWay;
    ReleaseStopSignals();
  });
  return ReplaceHeldBack(path, writeContent, mayReplace);
}

bool SaveUnderWay() { return g_savesUnderWay.load() > 0; }
