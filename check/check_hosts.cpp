// SPDX-License-Identifier: GPL-2.0-or-later
// The host limiter: per-name queues of rows, per-address connection counts and lines, and
// the set of names whose first queued row may start, kept up to date as counts change, so that
// taking the next row costs no scan of the list.
#include "check/check_hosts.h"

size_t HostLimiter::NameIndex(const std::string& name) {
  const auto [it, added] = nameIndex_.emplace(name, names_.size());
  if (added) {
    names_.emplace_back();
    names_.back().text = name;
    names_.back().known = name.empty();
  }
  return it->second;
}

void HostLimiter::Queue(uint32_t row, const std::string& name) {
  const size_t index = NameIndex(name);
  Name& entry = names_[index];
  if (next_.size() <= row) next_.resize(row + 1, kNoRow);
  next_[row] = kNoRow;
  ++queued_;
  if (entry.tail != kNoRow) {
    next_[entry.tail] = row;
    entry.tail = row;
    return;
  }
  entry.head = entry.tail = row;
  Refresh(index);
}

// A new row of a known host leaves room for the checks in its line.
bool HostLimiter::MayStart(const Name& name) const {
  if (name.text.empty()) return true;
  if (!name.known) return name.lookUpWaiters == 0;
  const auto key = keys_.find(name.key);
  if (key == keys_.end()) return perHost_ > 0;
  return key->second.open + static_cast<int>(key->second.line.size()) < perHost_;
}

void HostLimiter::Refresh(size_t index) {
  const Name& name = names_[index];
  if (name.head == kNoRow) return;
  if (MayStart(name)) {
    ready_.emplace(name.head, index);
  } else {
    ready_.erase({name.head, index});
  }
}

void HostLimiter::RefreshKey(const std::string& key) {
  const auto found = keys_.find(key);
  if (found == keys_.end()) return;
  for (size_t index : found->second.names) Refresh(index);
}

uint32_t HostLimiter::TakeNext() {
  if (ready_.empty()) return kNoRow;
  const auto [row, index] = *ready_.begin();
  ready_.erase(ready_.begin());
  Name& name = names_[index];
  name.head = next_[row];
  if (name.head == kNoRow) name.tail = kNoRow;
  --queued_;
  Refresh(index);
  return row;
}

bool HostLimiter::Known(const std::string& name) const {
  const auto found = nameIndex_.find(name);
  return name.empty() || (found != nameIndex_.end() && names_[found->second].known);
}

const std::string& HostLimiter::KeyOf(const std::string& name) const {
  static const std::string kNone;
  const auto found = nameIndex_.find(name);
  return found == nameIndex_.end() ? kNone : names_[found->second].key;
}

bool HostLimiter::LookingUp(const std::string& name) const {
  const auto found = nameIndex_.find(name);
  return found != nameIndex_.end() && names_[found->second].lookingUp;
}

void HostLimiter::StartLookUp(const std::string& name) { names_[NameIndex(name)].lookingUp = true; }

void HostLimiter::EndLookUp(const std::string& name, const std::string& key) {
  const size_t index = NameIndex(name);
  Name& entry = names_[index];
  entry.lookingUp = false;
  entry.known = true;
  entry.key = key;
  keys_[key].names.push_back(index);
  Refresh(index);
}

void HostLimiter::AddLookUpWaiter(const std::string& name, int change) {
  const size_t index = NameIndex(name);
  names_[index].lookUpWaiters += change;
  Refresh(index);
}

bool HostLimiter::OpenOrWait(const std::string& key, uint32_t row) {
  Key& host = keys_[key];
  const bool opened = host.open < perHost_ && host.line.empty();
  if (opened) {
    ++host.open;
  } else {
    host.line.push_back(row);
  }
  RefreshKey(key);
  return opened;
}

void HostLimiter::LeaveLine(const std::string& key, uint32_t row) {
  Key& host = keys_[key];
  for (auto it = host.line.begin(); it != host.line.end(); ++it) {
    if (*it != row) continue;
    host.line.erase(it);
    break;
  }
  RefreshKey(key);
}

uint32_t HostLimiter::Close(const std::string& key) {
  Key& host = keys_[key];
  uint32_t next = kNoRow;
  if (host.line.empty()) {
    --host.open;
  } else {
    next = host.line.front();
    host.line.erase(host.line.begin());
  }
  RefreshKey(key);
  return next;
}

int HostLimiter::OpenCount(const std::string& key) const {
  const auto found = keys_.find(key);
  return found == keys_.end() ? 0 : found->second.open;
}
