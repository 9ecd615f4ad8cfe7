// SPDX-License-Identifier: GPL-2.0-or-later
// The check plan: distinct targets, rounds of checks again, and each entry's result.
#include "check/check_plan.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <string>
#include <utility>

#include "text/text.h"

namespace {

const char kLibraryAgent[] = "Lavf/";  // the media library's own User-Agent, before its version

// A target's address and request in one text, to tell repeated entries by.
std::string TargetKey(const CheckTarget& target) {
  std::string key =
      Concat(target.address, "\n", target.request.userAgent, "\n", target.request.referrer);
  for (const std::string& header : target.request.headers) key += Concat("\n", header);
  return key;
}

// For every entry the first one it repeats. Entries are sorted by the hash of their key, so
// that the list is compared in one pass.
std::vector<uint32_t> FirstOf(uint32_t count, const CheckTargetAt& targetAt) {
  std::vector<std::pair<size_t, uint32_t>> byHash;
  byHash.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const CheckTarget target = targetAt(i);
    if (target.address.empty()) continue;
    byHash.emplace_back(std::hash<std::string>()(TargetKey(target)), i);
  }
  std::sort(byHash.begin(), byHash.end());
  std::vector<uint32_t> firstOf(count);
  for (uint32_t i = 0; i < count; ++i) firstOf[i] = i;
  for (size_t run = 0; run < byHash.size();) {
    size_t runEnd = run + 1;
    while (runEnd < byHash.size() && byHash[runEnd].first == byHash[run].first) ++runEnd;
    for (size_t j = run; runEnd - run > 1 && j < runEnd; ++j) {
      const uint32_t first = byHash[j].second;
      if (firstOf[first] != first) continue;
      const std::string key = TargetKey(targetAt(first));
      for (size_t k = j + 1; k < runEnd; ++k) {
        const uint32_t other = byHash[k].second;
        if (firstOf[other] == other && TextEquals(TargetKey(targetAt(other)), key)) {
          firstOf[other] = first;
        }
      }
    }
    run = runEnd;
  }
  return firstOf;
}

// The verdicts that another check can change: the network's. A missing address, a scheme that
// is not read or a malformed row stay what they are.
bool MayPassLater(Verdict verdict) {
  return verdict == Verdict::kError || verdict == Verdict::kNoMedia ||
         verdict == Verdict::kUnreachable;
}

// The User-Agent a request sends: its own, or the media library's.
std::string SentAgent(const StreamRequest& request) {
  if (!request.userAgent.empty()) return request.userAgent;
  const unsigned version = avformat_version();
  return Concat(kLibraryAgent, std::to_string(AV_VERSION_MAJOR(version)), ".",
                std::to_string(AV_VERSION_MINOR(version)), ".",
                std::to_string(AV_VERSION_MICRO(version)));
}

}  // namespace

CheckPlan PlanChecks(size_t count, const CheckTargetAt& targetAt) {
  CheckPlan plan;
  const uint32_t entries = static_cast<uint32_t>(count);
  plan.firstOf = FirstOf(entries, targetAt);
  plan.tries.assign(count, 0);
  plan.nextRepeat.assign(count, kNoEntry);
  std::vector<uint32_t> lastOf(count, kNoEntry);  // the last repeat linked to each first entry
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t first = plan.firstOf[i];
    if (first == i) {
      plan.targets.push_back(i);
      lastOf[i] = i;
      continue;
    }
    plan.nextRepeat[lastOf[first]] = i;
    lastOf[first] = i;
  }
  return plan;
}

bool RunCheckPlan(CheckPlan& plan, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  int retries, const EntryResultOf& resultOf, const PlanResult& done,
                  const PlanRound& round, const StopToken& stop) {
  // Each round checks the entries whose verdict may still change; an entry's result counts
  // once no round is left for it.
  std::vector<uint32_t> pending = plan.targets;
  for (int roundNumber = 0; !pending.empty(); ++roundNumber) {
    const bool lastRound = roundNumber == retries;
    std::vector<uint32_t> again;
    const auto pendingAt = [&targetAt, &pending](size_t index) { return targetAt(pending[index]); };
    CheckStreams(
        pending.size(), pendingAt, settings,
        [&](size_t index, const CheckResult& checked) {
          const uint32_t entry = pending[index];
          ++plan.tries[entry];
          CheckResult result = resultOf ? resultOf(entry, checked) : checked;
          const StreamRequest request = targetAt(entry).request;
          result.detail += RequestSentNote(result.detail, SentAgent(request), request.referrer);
          if (!lastRound && MayPassLater(result.verdict)) {
            again.push_back(entry);
            return;
          }
          done(entry, std::move(result));
        },
        stop);
    if (stop.StopRequested()) return false;
    std::sort(again.begin(), again.end());  // checked again in list order
    pending = std::move(again);
    if (round) round(pending.size());
  }
  return true;
}
