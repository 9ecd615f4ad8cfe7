// SPDX-License-Identifier: GPL-2.0-or-later
// The check of a list's entries as every command runs it: entries with the same target share
// one check, the entries that are not live are checked again in rounds after the others, and
// the result of a refused request says what the request sent.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "check/check_run.h"

const uint32_t kNoEntry = UINT32_MAX;
// Checks again of an entry that is not live: a few catch a stream that was away a moment;
// more only make a dead list slow.
const int kMaxRetries = 5;

struct CheckPlan {
  std::vector<uint32_t> firstOf;  // the entry whose check each entry shares (itself if none)
  // The next entry that shares a first entry's check, in list order, from the first entry on.
  std::vector<uint32_t> nextRepeat;
  std::vector<uint32_t> targets;  // the first entries, in list order
  std::vector<uint8_t> tries;     // checks of each first entry (at most 1 + kMaxRetries)
};

// The plan of count entries: entries whose targets have the same address and request share
// the check of the first of them; an entry without an address shares none.
CheckPlan PlanChecks(size_t count, const CheckTargetAt& targetAt);

// An entry's result from its check's (a channels.dat row that cannot be read has its own).
using EntryResultOf = std::function<CheckResult(uint32_t entry, const CheckResult& checked)>;
// The final result of a first entry, on the calling thread; the entries that repeat it share it.
using PlanResult = std::function<void(uint32_t entry, CheckResult result)>;
// A round ended; this many of its entries go on to the next (none after the last).
using PlanRound = std::function<void(size_t again)>;

// Checks the plan's first entries, then, up to retries rounds and in list order, those whose
// verdict another check may change. The detail of a refused request names the agent and
// referrer it sent. False when stop ended the check; the results given by then stay given.
// resultOf and round may be empty.
bool RunCheckPlan(CheckPlan& plan, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  int retries, const EntryResultOf& resultOf, const PlanResult& done,
                  const PlanRound& round, const StopToken& stop);
