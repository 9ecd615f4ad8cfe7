// SPDX-License-Identifier: GPL-2.0-or-later
// Connections per host for the check, and which queued row may start next. Hosts are counted
// by the address their name resolves to, so that two spellings of one server share its
// connections; a check that waits for a host (a wrapper's entry elsewhere, a name that turned
// out to be a full host) goes before new rows of it. Pure: no threads and no clock; the check's
// owner loop asks and tells.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

const uint32_t kNoRow = UINT32_MAX;

class HostLimiter {
 public:
  explicit HostLimiter(int perHost) : perHost_(perHost) {}

  // Queues row under its host name, in list order; "" for an address no probe opens.
  void Queue(uint32_t row, const std::string& name);
  bool HasQueued() const { return queued_ > 0; }
  // Takes the first queued row, in list order, that may start: one without host; one whose
  // name is not known yet and that no other row waits to have looked up; one whose host has
  // room for a new row. kNoRow when none may. It does not open a connection.
  uint32_t TakeNext();

  // Name lookups: one at a time per name, known once it ended.
  bool Known(const std::string& name) const;
  const std::string& KeyOf(const std::string& name) const;  // the address, once known
  bool LookingUp(const std::string& name) const;
  void StartLookUp(const std::string& name);
  void EndLookUp(const std::string& name, const std::string& key);
  // A row waits for the lookup of name (it keeps the name's queue from starting another).
  void AddLookUpWaiter(const std::string& name, int change);

  // Opens a connection to key for row when there is room, else puts row in the key's line;
  // true when opened.
  bool OpenOrWait(const std::string& key, uint32_t row);
  void LeaveLine(const std::string& key, uint32_t row);
  // Closes a connection; the first row in the key's line takes it over (returned), else kNoRow.
  uint32_t Close(const std::string& key);
  int OpenCount(const std::string& key) const;

 private:
  struct Name {
    std::string text;
    std::string key;
    bool known = false;
    bool lookingUp = false;
    int lookUpWaiters = 0;
    uint32_t head = kNoRow;  // its queued rows, in list order, linked through next_
    uint32_t tail = kNoRow;
  };
  struct Key {
    int open = 0;
    // Running checks waiting for a connection: at most --jobs, mostly none. A vector, as an
    // empty deque already holds about 600 bytes, and a list may name a host on every row.
    std::vector<uint32_t> line;
    std::vector<size_t> names;  // the names that resolve to it
  };
  size_t NameIndex(const std::string& name);
  bool MayStart(const Name& name) const;
  void Refresh(size_t name);
  void RefreshKey(const std::string& key);

  int perHost_;
  size_t queued_ = 0;
  std::vector<uint32_t> next_;  // the row after each in its name's queue
  std::vector<Name> names_;
  std::map<std::string, size_t> nameIndex_;
  std::map<std::string, Key> keys_;
  std::set<std::pair<uint32_t, size_t>>
      ready_;  // (first queued row, name) of each name that may start
};
