// SPDX-License-Identifier: GPL-2.0-or-later
// The stop token: a flag read without a lock, and the wake-ups of the runs that wait on it.
#include "base/stop_token.h"

#include <algorithm>

StopWaker::StopWaker(std::shared_ptr<StopState> state, size_t id)
    : state_(std::move(state)), id_(id) {}

StopWaker::StopWaker(StopWaker&& other) noexcept
    : state_(std::move(other.state_)), id_(other.id_) {}

StopWaker& StopWaker::operator=(StopWaker&& other) noexcept {
  if (this != &other) {
    StopWaker old(std::move(*this));
    state_ = std::move(other.state_);
    id_ = other.id_;
  }
  return *this;
}

StopWaker::~StopWaker() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto& wakes = state_->wakes;
  wakes.erase(std::remove_if(wakes.begin(), wakes.end(),
                             [this](const auto& wake) { return wake.first == id_; }),
              wakes.end());
}

bool StopToken::StopRequested() const { return state_ && state_->stopped.load(); }

StopWaker StopToken::OnStop(std::function<void()> wake) const {
  if (!state_) return StopWaker();
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->stopped.load()) {
    lock.unlock();
    wake();
    return StopWaker();
  }
  const size_t id = state_->nextId++;
  state_->wakes.emplace_back(id, std::move(wake));
  return StopWaker(state_, id);
}

StopSource::StopSource() : state_(std::make_shared<StopState>()) {}

void StopSource::RequestStop() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->stopped.exchange(true)) return;
  for (const auto& wake : state_->wakes) wake.second();
}

bool StopSource::StopRequested() const { return state_->stopped.load(); }
