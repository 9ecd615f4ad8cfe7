// Page transport over WinINet: one internet (session) handle for the whole run, so that pages
// from one host reuse their connections, and a URL handle per fetch with synchronous reads.
// Fetches may run on several threads at once. A console control handler may cancel from its
// own thread by closing the open handles.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "fetch/fetch.h"

namespace {

const char kUserAgent[] = "QV";
const DWORD kTimeoutOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                 INTERNET_OPTION_RECEIVE_TIMEOUT,
                                 INTERNET_OPTION_DATA_SEND_TIMEOUT,
                                 INTERNET_OPTION_DATA_RECEIVE_TIMEOUT};

}  // namespace

struct FetchConnection {
  HINTERNET url = nullptr;          // set under g_lock once InternetOpenUrlA returns
  bool urlClosedByCancel = false;   // guarded by g_lock
  std::chrono::steady_clock::time_point pageLimit;  // the page ends with what it has then
};

namespace {

std::atomic<bool> g_cancelled(false);
// The session and the fetches in progress, so that CancelFetches can close their handles.
std::mutex g_lock;
HINTERNET g_session = nullptr;
std::vector<FetchConnection*> g_active;

// Sets the connect, send and receive timeouts of a handle; a session passes them on to the
// connections and requests made over it.
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

// Closes the URL handle unless a cancellation already closed it; the session stays open.
void CloseWin(FetchConnection* connection) {
  if (connection == nullptr) return;
  bool urlClosed = false;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_active.erase(std::remove(g_active.begin(), g_active.end(), connection), g_active.end());
    urlClosed = connection->urlClosedByCancel;
  }
  if (!urlClosed && connection->url != nullptr) InternetCloseHandle(connection->url);
  delete connection;
}

// Opens the address over the session, with agent "QV", always from the server. When the
// address does not open, the result is null.
FetchConnection* OpenWin(const std::string& address) {
  FetchConnection* connection = new FetchConnection;
  connection->pageLimit = std::chrono::steady_clock::now() +
                          std::chrono::seconds(FetchTimeoutSeconds() * kPageLimitFactor);
  HINTERNET session = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_cancelled.load()) {
      delete connection;
      return nullptr;
    }
    session = Session();
    g_active.push_back(connection);
  }
  HINTERNET url = nullptr;
  if (session != nullptr) {
    url = InternetOpenUrlA(session, address.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  }
  bool cancelled = false;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    connection->url = url;
    cancelled = g_cancelled.load() && !connection->urlClosedByCancel;
  }
  // A cancellation that came while the URL was opening found no handle to close.
  if (url == nullptr || cancelled) {
    CloseWin(connection);
    return nullptr;
  }
  return connection;
}

// Fills the buffer completely unless the data ends first, as a synchronous InternetReadFile
// does, but waits only for what the server has sent, one receive timeout at most, so that the
// page limit is checked between the waits.
int ReadWin(FetchConnection* connection, char* buffer, int capacity) {
  if (g_cancelled.load() || capacity <= 0) return -1;
  int filled = 0;
  bool failed = false;
  while (filled < capacity && std::chrono::steady_clock::now() < connection->pageLimit) {
    DWORD available = 0;
    failed = !InternetQueryDataAvailable(connection->url, &available, 0, 0);
    if (failed || available == 0) break;  // a timeout, an error, or the end of the data
    const DWORD wanted = std::min(available, static_cast<DWORD>(capacity - filled));
    DWORD count = 0;
    failed = !InternetReadFile(connection->url, buffer + filled, wanted, &count);
    if (failed || count == 0) break;
    filled += static_cast<int>(count);
  }
  // A read that was under way when the fetches were cancelled brings nothing more.
  if (g_cancelled.load() || (failed && filled == 0)) return -1;
  return filled;
}

const FetchTransport kWinTransport = {OpenWin, ReadWin, CloseWin};

}  // namespace

const FetchTransport& PlatformTransport() { return kWinTransport; }

// Closing the handles from another thread aborts a blocking open (session handle) or read
// (URL handle) on Windows; Wine lets a call under way finish first, when data or the end of
// the connection arrives. The fetches' own closes then leave these handles alone, and the
// next fetch after ResumeFetches opens a new session.
void CancelFetches() {
  g_cancelled.store(true);
  std::lock_guard<std::mutex> lock(g_lock);
  for (FetchConnection* connection : g_active) {
    if (connection->url == nullptr || connection->urlClosedByCancel) continue;
    InternetCloseHandle(connection->url);
    connection->urlClosedByCancel = true;
  }
  if (g_session != nullptr) InternetCloseHandle(g_session);
  g_session = nullptr;
}

void ResumeFetches() { g_cancelled.store(false); }
