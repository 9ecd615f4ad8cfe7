// Page transport over WinINet: an internet handle and a URL handle per fetch, synchronous reads.
// A console control handler may cancel from its own thread by closing the open internet handle.
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <mutex>
#include <string>

#include "fetch/fetch.h"

namespace {

const char kUserAgent[] = "QV";

}  // namespace

struct FetchConnection {
  HINTERNET inet = nullptr;
  HINTERNET url = nullptr;          // set under g_activeLock once InternetOpenUrlA returns
  bool closedByCancel = false;      // guarded by g_activeLock
  bool urlClosedByCancel = false;   // guarded by g_activeLock
};

namespace {

std::atomic<bool> g_cancelled(false);
// The fetch in progress, so that CancelFetches can close its handles; at most one at a time.
std::mutex g_activeLock;
FetchConnection* g_active = nullptr;

// Closes the URL handle, then the internet handle (both, even when null), except those that
// a cancellation already closed.
void CloseWin(FetchConnection* connection) {
  if (connection == nullptr) return;
  bool closed = false;
  bool urlClosed = false;
  {
    std::lock_guard<std::mutex> lock(g_activeLock);
    if (g_active == connection) g_active = nullptr;
    closed = connection->closedByCancel;
    urlClosed = connection->urlClosedByCancel;
  }
  if (!urlClosed) InternetCloseHandle(connection->url);
  if (!closed) InternetCloseHandle(connection->inet);
  delete connection;
}

// Opens a direct connection with agent "QV" and the address, always from the server. When the
// address does not open, both handles are closed here and the result is null.
FetchConnection* OpenWin(const std::string& address) {
  FetchConnection* connection = new FetchConnection;
  {
    std::lock_guard<std::mutex> lock(g_activeLock);
    if (g_cancelled.load()) {
      delete connection;
      return nullptr;
    }
    connection->inet = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    g_active = connection;
  }
  HINTERNET url = InternetOpenUrlA(connection->inet, address.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  {
    std::lock_guard<std::mutex> lock(g_activeLock);
    connection->url = url;
  }
  if (url == nullptr) {
    CloseWin(connection);
    return nullptr;
  }
  return connection;
}

int ReadWin(FetchConnection* connection, char* buffer, int capacity) {
  if (g_cancelled.load() || capacity <= 0) return -1;
  DWORD count = 0;
  if (!InternetReadFile(connection->url, buffer, static_cast<DWORD>(capacity), &count)) return -1;
  // A read that was under way when the fetches were cancelled brings nothing more.
  if (g_cancelled.load()) return -1;
  return static_cast<int>(count);
}

const FetchTransport kWinTransport = {OpenWin, ReadWin, CloseWin};

}  // namespace

const FetchTransport& PlatformTransport() { return kWinTransport; }

// Closing the handles from another thread aborts a blocking open (internet handle) or read
// (URL handle) on Windows; Wine lets a call under way finish first, when data or the end of
// the connection arrives. The fetch's own close then leaves these handles alone.
void CancelFetches() {
  g_cancelled.store(true);
  std::lock_guard<std::mutex> lock(g_activeLock);
  if (g_active == nullptr || g_active->closedByCancel) return;
  if (g_active->url != nullptr) {
    InternetCloseHandle(g_active->url);
    g_active->urlClosedByCancel = true;
  }
  InternetCloseHandle(g_active->inet);
  g_active->closedByCancel = true;
}

void ResumeFetches() { g_cancelled.store(false); }
