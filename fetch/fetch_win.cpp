// SPDX-License-Identifier: GPL-2.0-or-later
// Page transport over WinINet: one internet (session) handle for the whole run, so that pages
// from one host reuse their connections, and a URL handle per fetch. The blocking WinINet
// calls of a fetch run on a thread of their own, and the fetch waits for their bytes with its
// deadlines: Wine applies no receive timeout to a request already sent, and lets a call under
// way finish even when its handle is closed, so only a caller that stops waiting can end a
// page on time. A fetch that gives up leaves its thread to close the handle when the call
// returns. Fetches may run on several threads at once; a console control handler may cancel
// from its own thread.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fetch/fetch.h"
#include "fetch/fetch_address.h"
#include "text/text.h"

namespace {

const char kUserAgent[] = "QV";
const DWORD kTimeoutOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                 INTERNET_OPTION_RECEIVE_TIMEOUT,
                                 INTERNET_OPTION_DATA_SEND_TIMEOUT,
                                 INTERNET_OPTION_DATA_RECEIVE_TIMEOUT};
// The most one InternetReadFile takes, and the received bytes not yet handed to the chunk
// loop beyond which the reading thread waits.
const DWORD kReceiveSize = 64 * 1024;
const size_t kMaxPending = 4 * kReceiveSize;

const char kOtherError[] = "WinINet error ";

// Why the last open on this thread failed: a WinINet or system error code.
thread_local DWORD t_openError = 0;

using Clock = std::chrono::steady_clock;

// One fetch, shared by the fetch and the thread that makes its WinINet calls; whichever
// ends last frees it. Everything below url is guarded by lock.
struct Request {
  std::string address;
  HINTERNET session = nullptr;
  HINTERNET url = nullptr;   // used and closed by the reading thread only
  std::mutex lock;
  std::condition_variable changed;
  bool opened = false;       // InternetOpenUrlA returned
  bool answered = false;     // and gave a URL handle
  bool ended = false;        // the data ended, a call failed, or the fetch gave up
  bool abandoned = false;    // the fetch is closed: the reading thread ends at its next chance
  DWORD error = 0;           // of the failed open or read; ERROR_INTERNET_TIMEOUT at a deadline
  int status = 0;
  std::string pending;       // received body bytes, handed out from pendingStart on
  size_t pendingStart = 0;
  Clock::time_point lastArrival;  // of the response's headers or its latest bytes
};

size_t Unread(const Request& request) { return request.pending.size() - request.pendingStart; }

}  // namespace

struct FetchConnection {
  std::shared_ptr<Request> request;
  Clock::time_point pageLimit;  // the page ends with what it has then
};

namespace {

std::atomic<bool> g_cancelled(false);
// The session and the fetches in progress, so that CancelFetches can wake them.
std::mutex g_lock;
HINTERNET g_session = nullptr;
std::vector<std::shared_ptr<Request>> g_active;

// Sets the connect, send and receive timeouts of a handle; on Windows a session passes them
// on to the connections and requests made over it.
void SetTimeouts(HINTERNET handle) {
  DWORD milliseconds = static_cast<DWORD>(FetchTimeoutSeconds()) * 1000;
  for (DWORD option : kTimeoutOptions) {
    InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
  }
}

// The session, opened on first use and again after a cancellation closed it. Under g_lock.
HINTERNET Session() {
  if (g_session == nullptr) {
    g_session = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (g_session != nullptr) SetTimeouts(g_session);
  }
  return g_session;
}

// The HTTP status of the response; 0 for FTP and local files, which have none.
int HttpStatus(HINTERNET url) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr)) {
    return 0;
  }
  return static_cast<int>(status);
}

// Reads what the server has sent, at most kReceiveSize bytes; an empty result with no
// error is the end of the data.
DWORD ReceiveSome(HINTERNET url, std::string& received) {
  received.clear();
  DWORD available = 0;
  if (!InternetQueryDataAvailable(url, &available, 0, 0)) return GetLastError();
  if (available == 0) return 0;
  received.resize(std::min(available, kReceiveSize));
  DWORD count = 0;
  const bool read = InternetReadFile(url, &received[0], static_cast<DWORD>(received.size()), &count);
  received.resize(read ? count : 0);
  return read ? 0 : GetLastError();
}

// The reading thread: opens the address, then receives until the data ends, a call fails,
// or the fetch is abandoned; waits while kMaxPending bytes are unread.
void ReceiveRequest(std::shared_ptr<Request> request) {
  HINTERNET url = InternetOpenUrlA(request->session, request->address.c_str(), nullptr, 0,
                                   INTERNET_FLAG_RELOAD, 0);
  const DWORD openError = url == nullptr ? GetLastError() : 0;
  // Wine passes only the connect timeout on from the session: the request gets the others
  // itself, which takes effect on its open connection at once.
  if (url != nullptr) SetTimeouts(url);
  const int status = url != nullptr ? HttpStatus(url) : 0;
  std::string received;
  std::unique_lock<std::mutex> guard(request->lock);
  // The fetch gave up while the address opened: what it took as the outcome stays.
  if (request->abandoned || request->ended) {
    guard.unlock();
    if (url != nullptr) InternetCloseHandle(url);
    return;
  }
  request->opened = true;
  request->answered = url != nullptr;
  request->error = openError;
  request->status = status;
  request->ended = url == nullptr;
  request->lastArrival = Clock::now();
  request->changed.notify_all();
  while (url != nullptr && !request->ended && !request->abandoned) {
    request->changed.wait(guard, [&] { return request->abandoned || Unread(*request) < kMaxPending; });
    if (request->abandoned) break;
    guard.unlock();
    const DWORD error = ReceiveSome(url, received);
    guard.lock();
    if (request->abandoned || request->ended) break;
    request->pending.erase(0, request->pendingStart);
    request->pendingStart = 0;
    request->pending += received;
    request->lastArrival = Clock::now();
    request->error = error;
    request->ended = error != 0 || received.empty();
    request->changed.notify_all();
  }
  guard.unlock();
  if (url != nullptr) InternetCloseHandle(url);
}

// The reading threads: one starts only when none is idle, and a thread that is done with a
// request waits for the next, as a thread start costs over a millisecond under Wine. The
// pool is never destroyed, so that idle threads never wait on a destroyed lock at exit.
struct ReaderPool {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Request>> waiting;
  size_t idle = 0;
};

ReaderPool& Readers() {
  static ReaderPool* const pool = new ReaderPool;
  return *pool;
}

void ReadRequests() {
  ReaderPool& pool = Readers();
  std::unique_lock<std::mutex> guard(pool.lock);
  for (;;) {
    ++pool.idle;
    pool.changed.wait(guard, [&pool] { return !pool.waiting.empty(); });
    --pool.idle;
    std::shared_ptr<Request> request = std::move(pool.waiting.front());
    pool.waiting.pop_front();
    guard.unlock();
    ReceiveRequest(std::move(request));
    guard.lock();
  }
}

// Hands the request to an idle reading thread, or to a new one; false when none can start.
bool StartReading(const std::shared_ptr<Request>& request) {
  ReaderPool& pool = Readers();
  std::lock_guard<std::mutex> guard(pool.lock);
  if (pool.idle <= pool.waiting.size()) {
    try {
      std::thread(ReadRequests).detach();
    } catch (const std::system_error&) {
      if (pool.idle <= pool.waiting.size()) return false;
    }
  }
  pool.waiting.push_back(request);
  pool.changed.notify_one();
  return true;
}

// The earlier of the page limit and one timeout after the last bytes arrived. Under the lock.
Clock::time_point NextDeadline(const FetchConnection* connection) {
  return std::min(connection->pageLimit,
                  connection->request->lastArrival + std::chrono::seconds(FetchTimeoutSeconds()));
}

// Waits under the lock until ready holds, the fetch is cancelled, or a deadline passes; a
// passed deadline ends the request as timed out.
template <typename Ready>
void AwaitRequest(FetchConnection* connection, std::unique_lock<std::mutex>& guard, Ready ready) {
  Request& request = *connection->request;
  while (!ready() && !request.ended && !g_cancelled.load()) {
    const Clock::time_point deadline = NextDeadline(connection);
    if (Clock::now() >= deadline) {
      request.ended = true;
      request.error = ERROR_INTERNET_TIMEOUT;
      return;
    }
    request.changed.wait_until(guard, deadline);
  }
}

// Abandons the request: its reading thread stops at its next chance and closes the handle.
void CloseWin(FetchConnection* connection) {
  if (connection == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_active.erase(std::remove(g_active.begin(), g_active.end(), connection->request),
                   g_active.end());
  }
  {
    std::lock_guard<std::mutex> lock(connection->request->lock);
    connection->request->abandoned = true;
    connection->request->changed.notify_all();
  }
  delete connection;
}

// Opens the address over the session, with agent "QV", always from the server, and waits
// for the response's headers at most until a deadline. When the address does not open, the
// result is null.
FetchConnection* OpenWin(const std::string& address) {
  t_openError = ERROR_INTERNET_INTERNAL_ERROR;
  FetchConnection* connection = new FetchConnection;
  connection->request = std::make_shared<Request>();
  connection->request->address = EscapedAddress(address);
  connection->request->lastArrival = Clock::now();
  connection->pageLimit =
      Clock::now() + std::chrono::seconds(FetchTimeoutSeconds() * kPageLimitFactor);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_cancelled.load() || Session() == nullptr) {
      delete connection;
      return nullptr;
    }
    connection->request->session = g_session;
    g_active.push_back(connection->request);
  }
  if (!StartReading(connection->request)) {
    CloseWin(connection);
    return nullptr;
  }
  Request& request = *connection->request;
  std::unique_lock<std::mutex> guard(request.lock);
  AwaitRequest(connection, guard, [&request] { return request.opened; });
  const bool failed = !request.answered;
  t_openError = request.error;
  guard.unlock();
  if (g_cancelled.load() || failed) {
    CloseWin(connection);
    return nullptr;
  }
  return connection;
}

// Fills the buffer completely unless the data ends first, so that where the chunks begin
// depends on the body alone; waits only until the next deadline. Received bytes are handed
// out first; a request that ended in an error or at a deadline then reads as failed.
int ReadWin(FetchConnection* connection, char* buffer, int capacity) {
  if (g_cancelled.load() || capacity <= 0) return -1;
  Request& request = *connection->request;
  const size_t wanted = static_cast<size_t>(capacity);
  std::unique_lock<std::mutex> guard(request.lock);
  AwaitRequest(connection, guard, [&request, wanted] { return Unread(request) >= wanted; });
  if (g_cancelled.load()) return -1;
  const size_t count = std::min(Unread(request), wanted);
  if (count == 0) return request.error == 0 ? 0 : -1;
  request.pending.copy(buffer, count, request.pendingStart);
  request.pendingStart += count;
  request.changed.notify_all();  // room for the reading thread
  return static_cast<int>(count);
}

// The words for a WinINet error: the common ones of the kind, else its number.
std::string ErrorWords(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_CANNOT_CONNECT:
      return kCouldNotConnect;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return kHostNotFound;
    case ERROR_INTERNET_TIMEOUT:
      return kTimedOut;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      return kReadError;
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return kBadAddress;
    default:
      return Concat(kOtherError, NumberToText(static_cast<int32_t>(error)));
  }
}

FetchOutcome OutcomeWin(FetchConnection* connection) {
  FetchOutcome outcome;
  if (g_cancelled.load()) {
    outcome.error = kStoppedError;
    return outcome;
  }
  if (connection == nullptr) {
    outcome.error = ErrorWords(t_openError);
    return outcome;
  }
  std::lock_guard<std::mutex> lock(connection->request->lock);
  if (connection->request->error != 0) outcome.error = ErrorWords(connection->request->error);
  outcome.status = connection->request->status;
  return outcome;
}

const FetchTransport kWinTransport = {OpenWin, ReadWin, CloseWin, OutcomeWin};

}  // namespace

const FetchTransport& PlatformTransport() { return kWinTransport; }

// The waiting fetches end at once. Closing the session aborts a blocking open on Windows;
// the next fetch after ResumeFetches opens a new session.
void CancelFetches() {
  g_cancelled.store(true);
  std::lock_guard<std::mutex> lock(g_lock);
  for (const std::shared_ptr<Request>& request : g_active) {
    std::lock_guard<std::mutex> requestLock(request->lock);
    request->changed.notify_all();
  }
  if (g_session != nullptr) InternetCloseHandle(g_session);
  g_session = nullptr;
}

void ResumeFetches() { g_cancelled.store(false); }
