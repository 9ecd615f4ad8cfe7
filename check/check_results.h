// SPDX-License-Identifier: GPL-2.0-or-later
// What a check keeps of each entry's result until its outputs are written: the verdict, its
// words once for all the entries that share them, and media fields only for the results that
// have any, so that a list of refused addresses costs a few bytes an entry.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "check/check_verdict.h"

const uint32_t kNoMedia = UINT32_MAX;

struct KeptResult {
  Verdict verdict = Verdict::kNoStream;
  uint32_t detail = 0;        // in the store's details
  uint32_t media = kNoMedia;  // in the store's media
  uint32_t elapsedMs = 0;
};

struct ResultStore {
  std::vector<KeptResult> kept;  // one per entry
  std::deque<std::string> details;  // each distinct detail once; a deque keeps them in place
  std::unordered_map<std::string_view, uint32_t> detailIds;
  std::vector<CheckResult> media;  // the results with media fields, without their detail
};

void KeepResult(ResultStore& store, size_t index, const CheckResult& result);
CheckResult KeptResultAt(const ResultStore& store, size_t index);
