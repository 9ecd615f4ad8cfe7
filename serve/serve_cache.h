// SPDX-License-Identifier: GPL-2.0-or-later
// The answers serve keeps ready: each for one query at one version of the entries, bounded by
// the bytes they hold, made once while others asking for the same wait for it.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

template <typename Value>
class AnswerCache {
 public:
  using Ptr = std::shared_ptr<const Value>;

  // capacity bounds the bytes of the answers kept; an answer larger than largest is not kept,
  // only shared with those asking while some client still holds it.
  AnswerCache(size_t capacity, size_t largest) : capacity_(capacity), largest_(largest) {}

  // The answer for key at version: the one kept, shared or being made, or else the one make()
  // gives (null: none was made, and none is kept), of bytes(answer) bytes. Keeping an answer
  // drops those of older versions, then the least recently used past the capacity.
  template <typename Make, typename Bytes>
  Ptr Get(const std::string& key, int64_t version, const Make& make, const Bytes& bytes) {
    std::vector<Ptr> dropped;  // released after the lock, outside it
    std::promise<Ptr> promise;
    uint64_t maker = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto found = slots_.find(key);
      if (found != slots_.end() && found->second.version == version) {
        Slot& slot = found->second;
        slot.used = ++clock_;
        if (slot.kept) return slot.kept;
        if (Ptr shared = slot.shared.lock()) return shared;
        if (slot.making.valid()) {
          std::shared_future<Ptr> making = slot.making;
          lock.unlock();
          return making.get();
        }
      }
      if (found != slots_.end()) Drop(found, dropped);
      maker = ++clock_;
      Slot& slot = slots_[key];
      slot.version = version;
      slot.making = promise.get_future().share();
      slot.used = maker;
      slot.maker = maker;
    }
    Ptr answer = make();
    promise.set_value(answer);
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = std::max(newest_, version);
    auto found = slots_.find(key);
    if (found == slots_.end() || found->second.maker != maker) return answer;
    if (!answer || version < newest_) {
      Drop(found, dropped);
      return answer;
    }
    Slot& slot = found->second;
    slot.making = std::shared_future<Ptr>();
    const size_t size = bytes(*answer);
    if (size > largest_) {
      slot.shared = answer;
    } else {
      // The key and the slot count too, so that many small answers stay within the bound.
      slot.kept = answer;
      slot.bytes = size + key.size() + kSlotBytes;
      bytes_ += slot.bytes;
    }
    DropOlder(dropped);
    while (bytes_ > capacity_) Drop(LeastUsed(), dropped);
    return answer;
  }

  // Drops the answers of versions older than version, which no request takes any more.
  void DropOlderThan(int64_t version) {
    std::vector<Ptr> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = std::max(newest_, version);
    DropOlder(dropped);
  }

  // The answer for key at version if one is kept or shared now (none is waited for), or null.
  Ptr Ready(const std::string& key, int64_t version) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = slots_.find(key);
    if (found == slots_.end() || found->second.version != version) return nullptr;
    return found->second.kept ? found->second.kept : found->second.shared.lock();
  }

  // The bytes of the answers kept, and the answers kept, shared or being made.
  size_t bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
  }
  // The bytes of kept answers dropped since the last call.
  size_t TakeDroppedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t taken = droppedBytes_;
    droppedBytes_ = 0;
    return taken;
  }

 private:
  struct Slot {
    int64_t version = 0;
    std::shared_future<Ptr> making;  // valid while the answer is being made
    Ptr kept;
    std::weak_ptr<const Value> shared;  // an answer too large to keep
    size_t bytes = 0;
    uint64_t used = 0;   // when last asked for
    uint64_t maker = 0;  // which request made the slot
  };
  using Slots = std::unordered_map<std::string, Slot>;
  static constexpr size_t kSlotBytes = sizeof(Slot) + 64;  // with the map's node and the answer's

  typename Slots::iterator Drop(typename Slots::iterator it, std::vector<Ptr>& dropped) {
    bytes_ -= it->second.bytes;
    droppedBytes_ += it->second.bytes;
    if (it->second.kept) dropped.push_back(std::move(it->second.kept));
    return slots_.erase(it);
  }

  void DropOlder(std::vector<Ptr>& dropped) {
    for (auto it = slots_.begin(); it != slots_.end();) {
      const Slot& slot = it->second;
      const bool gone = !slot.kept && !slot.making.valid() && slot.shared.expired();
      it = slot.version < newest_ || gone ? Drop(it, dropped) : std::next(it);
    }
  }

  // The kept answer asked for least recently.
  typename Slots::iterator LeastUsed() {
    auto least = slots_.end();
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      if (it->second.kept && (least == slots_.end() || it->second.used < least->second.used))
        least = it;
    }
    return least;
  }

  const size_t capacity_;
  const size_t largest_;
  mutable std::mutex mutex_;
  Slots slots_;
  size_t bytes_ = 0;
  size_t droppedBytes_ = 0;
  uint64_t clock_ = 0;
  int64_t newest_ = 0;
};
