// SPDX-License-Identifier: GPL-2.0-or-later
// Keeps results small: details are shared, media fields are kept apart for the few that have
// them.
#include "check/check_results.h"

#include <algorithm>

namespace {

bool HasMedia(const CheckResult& result) {
  return !result.played.empty() || !result.format.empty() || !result.video.empty() ||
         !result.audio.empty() || result.bitrate > 0 || result.fps > 0 || result.height > 0;
}

}  // namespace

void KeepResult(ResultStore& store, size_t index, const CheckResult& result) {
  KeptResult& kept = store.kept[index];
  kept.verdict = result.verdict;
  kept.elapsedMs = static_cast<uint32_t>(std::clamp<int64_t>(result.elapsedMs, 0, UINT32_MAX));
  auto known = store.detailIds.find(result.detail);
  if (known == store.detailIds.end()) {
    store.details.push_back(result.detail);
    known = store.detailIds.emplace(store.details.back(), store.details.size() - 1).first;
  }
  kept.detail = known->second;
  if (!HasMedia(result)) return;
  kept.media = static_cast<uint32_t>(store.media.size());
  store.media.push_back(result);
  store.media.back().detail.clear();
}

CheckResult KeptResultAt(const ResultStore& store, size_t index) {
  const KeptResult& kept = store.kept[index];
  CheckResult result = kept.media == kNoMedia ? CheckResult() : store.media[kept.media];
  result.verdict = kept.verdict;
  result.detail = store.details[kept.detail];
  result.elapsedMs = kept.elapsedMs;
  return result;
}
