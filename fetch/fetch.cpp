// SPDX-License-Identifier: GPL-2.0-or-later
// The platform-independent chunk loop of a page fetch.
#include "fetch/fetch.h"

#include <algorithm>
#include <cstring>

#include "text/text.h"

const FetchTransport* g_fetchTransport = nullptr;

namespace {
std::atomic<int> g_fetchTimeoutSeconds{kDefaultFetchTimeoutSeconds};
std::atomic<size_t> g_pageByteLimit{kPageByteLimit};
}  // namespace

void SetFetchTimeout(int seconds) { g_fetchTimeoutSeconds.store(seconds); }

int FetchTimeoutSeconds() { return g_fetchTimeoutSeconds.load(); }

void SetPageByteLimit(size_t bytes) {
  g_pageByteLimit.store(bytes == 0 || bytes > kPageByteLimit ? kPageByteLimit : bytes);
}

namespace {

// The first memory a page takes; it then doubles.
const size_t kFirstPageCapacity = 64 * 1024;

// Makes room for size more bytes in page, up to limit; false when room said no.
bool GrowPage(std::string& page, size_t size, size_t limit, const PageRoom& room) {
  const size_t held = page.capacity();
  if (page.size() + size <= held) return true;
  size_t wanted = std::max({page.size() + size, held * 2, kFirstPageCapacity});
  if (wanted > limit) wanted = std::max(limit, page.size() + size);
  if (room && !room(wanted - held)) return false;
  page.reserve(wanted);
  return true;
}

}  // namespace

PageBuffer ReadPage(const std::string& address, const FetchTransport& transport,
                    const std::atomic<bool>* stop, PageBuffer reuse, const PageRoom& room) {
  PageBuffer page = std::move(reuse);
  page.bytes.clear();
  page.outcome = FetchOutcome();  // a reused buffer brings its old page's outcome
  std::string chunk = SpaceText(kChunkSize);
  FetchConnection* connection = transport.open(address);
  bool readFailed = false;
  bool limitReached = false;
  const size_t limit = g_pageByteLimit.load();
  if (connection != nullptr) {
    while (stop == nullptr || !stop->load()) {
      int count = transport.read(connection, &chunk[0], kChunkSize);
      readFailed = count < 0;
      if (count <= 0) break;
      // A zero byte ends what the chunk gives.
      size_t size = static_cast<size_t>(count < kChunkSize ? count : kChunkSize);
      const void* zero = std::memchr(chunk.data(), '\0', size);
      if (zero != nullptr) size = static_cast<size_t>(static_cast<const char*>(zero) - chunk.data());
      // A page of exactly the limit ends well at the next read; only more bytes reach it.
      limitReached = size > limit - page.bytes.size();
      if (limitReached) size = limit - page.bytes.size();
      if (!GrowPage(page.bytes, size, limit, room)) break;
      page.bytes.append(chunk.data(), size);
      if (limitReached) break;
    }
  }
  if (transport.outcome != nullptr) page.outcome = transport.outcome(connection);
  if (limitReached) page.outcome.error = kPageLimitReached;
  if (page.outcome.error.empty() && (connection == nullptr || readFailed)) {
    page.outcome.error = connection == nullptr ? kNotOpenedError : kReadError;
  }
  transport.close(connection);
  return page;
}

const FetchTransport& CurrentTransport() {
  return g_fetchTransport ? *g_fetchTransport : PlatformTransport();
}

PageBuffer FetchPage(const std::string& address) { return ReadPage(address, CurrentTransport()); }
