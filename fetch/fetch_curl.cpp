// SPDX-License-Identifier: GPL-2.0-or-later
// Page transport over libcurl: one transfer per fetch, driven through the multi interface so
// the chunk loop can pull the body in small reads while curl pushes it. Each thread keeps its
// handles from one fetch to the next, so consecutive pages from one host share a connection.
#include <curl/curl.h>

#include <errno.h>

#include <atomic>
#include <string>

#include "fetch/fetch.h"
#include "fetch/fetch_address.h"
#include "text/text.h"

namespace {

const char kUserAgent[] = "QV";
// The schemes WinINet reads, and local files; a redirect never leads to a local file.
const char kProtocols[] = "http,https,ftp,ftps,file";
const char kRedirectProtocols[] = "http,https,ftp,ftps";
const long kMaxRedirects = 30;
// How long one wait for the socket lasts; bounds how late a cancellation is noticed.
const int kPollMilliseconds = 100;
// How much curl takes from the socket in one receive: a typical country page in one go,
// where curl's default 16 KiB costs several receives and callbacks per page.
const long kReceiveBufferSize = 64 * 1024;
// Received bytes not yet handed to the chunk loop; beyond this curl is paused.
const size_t kMaxPending = 4 * kReceiveBufferSize;
// curl's file reader cannot be paused: a paused write there loses the rest of the file.
const char kFileScheme[] = "file:";

std::atomic<bool> g_cancelled(false);
static_assert(std::atomic<bool>::is_always_lock_free, "CancelFetches runs in a signal handler");

// The handles a thread reuses: the multi handle holds the connection cache. A second fetch
// opened while the first is still open gets handles of its own.
struct CurlHandles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string pending;  // the memory of the received bytes, kept for the next fetch
  bool inUse = false;
  ~CurlHandles() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
  }
};

thread_local CurlHandles t_handles;
// Why the last open on this thread failed, in words.
thread_local std::string t_openError;

const char kHttpScheme[] = "http";  // also the start of "https"
const char kConnectionRefused[] = "connection refused";
const char kFileUnreadable[] = "the file cannot be read";
const char kTooManyRedirects[] = "too many redirects";
const char kProxyNotFound[] = "proxy host not found";
const char kProxyWord[] = "the proxy ";
// libcurl's words for a connection that failed name the host and port it tried.
const char kConnectFailedPrefix[] = "Failed to connect to ";
const char kPortWord[] = " port ";

// --proxy and --noproxy; empty leaves libcurl's default, the environment's http_proxy,
// https_proxy, all_proxy and no_proxy. Set before fetches start, read by every fetch.
std::string g_proxy;
std::string g_noProxy;

}  // namespace

struct FetchConnection {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  CurlHandles* keptBy = nullptr;  // the thread's handles this fetch borrows, if any
  std::string pending;       // received body bytes, handed out from pendingStart on
  size_t pendingStart = 0;
  bool responded = false;    // a header or body byte has arrived
  bool paused = false;       // the write callback paused the transfer because pending is full
  bool mayPause = true;      // false for local files, which are taken whole
  bool done = false;
  CURLcode result = CURLE_OK;
  char errorText[CURL_ERROR_SIZE] = {};  // libcurl's own words for a failure
};

namespace {

size_t Unread(const FetchConnection* connection) {
  return connection->pending.size() - connection->pendingStart;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  FetchConnection* connection = static_cast<FetchConnection*>(user);
  size_t bytes = size * count;
  connection->responded = true;
  size_t unread = Unread(connection);
  if (connection->mayPause && unread > 0 && unread + bytes > kMaxPending) {
    connection->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // A local file is taken whole: past a page's worth, the transfer is ended instead.
  if (!connection->mayPause && unread > kPageByteLimit) return 0;
  connection->pending.erase(0, connection->pendingStart);
  connection->pendingStart = 0;
  connection->pending.append(data, bytes);
  return bytes;
}

size_t OnHeader(char*, size_t size, size_t count, void* user) {
  static_cast<FetchConnection*>(user)->responded = true;
  return size * count;
}

void InitCurlOnce() {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)initialised;
}

// Gives connection its handles: the thread's kept ones when free, else new ones.
bool TakeHandles(FetchConnection* connection) {
  if (!t_handles.inUse) {
    if (t_handles.easy == nullptr) t_handles.easy = curl_easy_init();
    if (t_handles.multi == nullptr) t_handles.multi = curl_multi_init();
    if (t_handles.easy != nullptr && t_handles.multi != nullptr) {
      t_handles.inUse = true;
      connection->keptBy = &t_handles;
      connection->easy = t_handles.easy;
      connection->multi = t_handles.multi;
      connection->pending.swap(t_handles.pending);
      connection->pending.clear();
      return true;
    }
  }
  connection->easy = curl_easy_init();
  connection->multi = curl_multi_init();
  return connection->easy != nullptr && connection->multi != nullptr;
}

// Runs the transfer until ready() holds, the transfer is done, or fetches are cancelled.
template <typename Ready>
void Drive(FetchConnection* connection, Ready ready) {
  while (!connection->done && !ready() && !g_cancelled.load()) {
    int running = 0;
    curl_multi_perform(connection->multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(connection->multi, &left)) {
      if (message->msg == CURLMSG_DONE) {
        connection->done = true;
        connection->result = message->data.result;
      }
    }
    if (connection->done || ready()) return;
    curl_multi_poll(connection->multi, nullptr, 0, kPollMilliseconds, nullptr);
  }
}

// Ends the transfer. Kept handles go back to the thread, the easy one with its options reset;
// the connection stays in the multi handle's cache unless the transfer ended early.
void CloseCurl(FetchConnection* connection) {
  if (connection == nullptr) return;
  if (connection->multi != nullptr && connection->easy != nullptr) {
    curl_multi_remove_handle(connection->multi, connection->easy);
  }
  if (connection->keptBy != nullptr) {
    curl_easy_reset(connection->easy);
    connection->keptBy->pending.swap(connection->pending);
    connection->keptBy->inUse = false;
    delete connection;
    return;
  }
  if (connection->easy != nullptr) curl_easy_cleanup(connection->easy);
  if (connection->multi != nullptr) curl_multi_cleanup(connection->multi);
  delete connection;
}

void SetOptions(FetchConnection* connection, const std::string& address) {
  CURL* easy = connection->easy;
  curl_easy_setopt(easy, CURLOPT_URL, EscapedAddress(address).c_str());  // curl keeps a copy
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kProtocols);
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
  // No header is added: the request carries Host, User-Agent and curl's "Accept: */*",
  // the same three that WinINet sends.
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  // libcurl takes the proxy from the environment (http_proxy in lower case only) unless the
  // command line named one; curl_easy_reset brings that default back for the next fetch.
  if (!g_proxy.empty()) curl_easy_setopt(easy, CURLOPT_PROXY, g_proxy.c_str());
  if (!g_noProxy.empty()) curl_easy_setopt(easy, CURLOPT_NOPROXY, g_noProxy.c_str());
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  // A transfer that delivers less than one byte per second for the timeout, or that runs
  // past the page limit, ends with what it has.
  const long timeout = FetchTimeoutSeconds();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeout * kPageLimitFactor);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, connection);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, connection);
  connection->errorText[0] = '\0';
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, connection->errorText);
}

// "HOST:PORT" of the address's own server.
std::string ServerOf(CURL* easy) {
  char* address = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &address) != CURLE_OK || address == nullptr) {
    return std::string();
  }
  CURLU* url = curl_url();
  char* host = nullptr;
  char* port = nullptr;
  std::string server;
  if (url != nullptr && curl_url_set(url, CURLUPART_URL, address, 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    server = Concat(host, ":", port);
  }
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(url);
  return server;
}

// "HOST:PORT" of the server that a failed connection was made to when that is not the
// address's own: the proxy. Empty otherwise.
std::string FailedProxy(const FetchConnection* connection) {
  const std::string text = connection->errorText;
  if (!StartsWith(text, kConnectFailedPrefix)) return std::string();
  const size_t hostStart = sizeof(kConnectFailedPrefix) - 1;
  const size_t portWord = text.find(kPortWord, hostStart);
  if (portWord == std::string::npos) return std::string();
  const size_t portStart = portWord + sizeof(kPortWord) - 1;
  const size_t portEnd = text.find_first_not_of("0123456789", portStart);
  const std::string tried = Concat(text.substr(hostStart, portWord - hostStart), ":",
                                   text.substr(portStart, portEnd - portStart));
  return TextEquals(tried, ServerOf(connection->easy)) ? std::string() : tried;
}

// The words for a failed transfer: the common ones of the kind, else libcurl's own.
// A proxy that could not be reached is named.
std::string TransferErrorWords(const FetchConnection* connection, CURLcode result) {
  long osError = 0;
  switch (result) {
    case CURLE_COULDNT_CONNECT: {
      curl_easy_getinfo(connection->easy, CURLINFO_OS_ERRNO, &osError);
      const std::string words = osError == ECONNREFUSED ? kConnectionRefused : kCouldNotConnect;
      const std::string proxy = FailedProxy(connection);
      return proxy.empty() ? words : Concat(kProxyWord, proxy, ": ", words);
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      return kHostNotFound;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kProxyNotFound;
    case CURLE_OPERATION_TIMEDOUT:
      return kTimedOut;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return kReadError;
    case CURLE_FILE_COULDNT_READ_FILE:
      return kFileUnreadable;
    case CURLE_TOO_MANY_REDIRECTS:
      return kTooManyRedirects;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return kBadAddress;
    default:
      return curl_easy_strerror(result);
  }
}

// The HTTP status of the transfer, for http and https only: other schemes have codes of
// their own (FTP) or none.
int HttpStatus(CURL* easy) {
  char* scheme = nullptr;
  long status = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr) return 0;
  if (!StartsWith(ToLowerCase(scheme), kHttpScheme)) return 0;
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return 0;
  return static_cast<int>(status);
}

// Starts the transfer and waits for the first sign of a response, so that an address that
// cannot be reached (bad address, unknown name, refused connection) does not open.
FetchConnection* OpenCurl(const std::string& address) {
  t_openError = kStoppedError;
  if (g_cancelled.load()) return nullptr;
  t_openError = kNotOpenedError;
  InitCurlOnce();
  FetchConnection* connection = new FetchConnection;
  if (!TakeHandles(connection)) {
    CloseCurl(connection);
    return nullptr;
  }
  SetOptions(connection, address);
  connection->mayPause =
      !TextEquals(ToLowerCase(LeftPart(address, TextLength(kFileScheme))), kFileScheme);
  if (curl_multi_add_handle(connection->multi, connection->easy) != CURLM_OK) {
    CloseCurl(connection);
    return nullptr;
  }
  Drive(connection, [connection] { return connection->responded; });
  bool failed = connection->done && connection->result != CURLE_OK;
  if (g_cancelled.load() || (failed && !connection->responded)) {
    t_openError =
        g_cancelled.load() ? kStoppedError : TransferErrorWords(connection, connection->result);
    CloseCurl(connection);
    return nullptr;
  }
  return connection;
}

// Fills the buffer completely unless the transfer ends first, so that where the chunks
// begin depends on the body alone, not on how the network split it. Received bytes are
// handed out first; a transfer that ended in an error then reads as failed.
int ReadCurl(FetchConnection* connection, char* buffer, int capacity) {
  if (g_cancelled.load() || capacity <= 0) return -1;
  size_t wanted = static_cast<size_t>(capacity);
  if (Unread(connection) < wanted && connection->paused) {
    connection->paused = false;
    curl_easy_pause(connection->easy, CURLPAUSE_CONT);
  }
  Drive(connection, [connection, wanted] { return Unread(connection) >= wanted || connection->paused; });
  if (g_cancelled.load()) return -1;
  size_t unread = Unread(connection);
  if (unread == 0) return connection->done && connection->result == CURLE_OK ? 0 : -1;
  size_t count = unread < wanted ? unread : wanted;
  connection->pending.copy(buffer, count, connection->pendingStart);
  connection->pendingStart += count;
  return static_cast<int>(count);
}

FetchOutcome CurlOutcome(FetchConnection* connection) {
  FetchOutcome outcome;
  if (connection == nullptr) {
    outcome.error = t_openError;
    return outcome;
  }
  outcome.status = HttpStatus(connection->easy);
  if (g_cancelled.load()) {
    outcome.error = kStoppedError;
  } else if (connection->done && connection->result != CURLE_OK) {
    outcome.error = TransferErrorWords(connection, connection->result);
  }
  return outcome;
}

const FetchTransport kCurlTransport = {OpenCurl, ReadCurl, CloseCurl, CurlOutcome};

}  // namespace

const FetchTransport& PlatformTransport() { return kCurlTransport; }

bool SetFetchProxy(const std::string& proxy, const std::string& noProxy) {
  g_proxy = proxy;
  g_noProxy = noProxy;
  return true;
}

std::string FetchLibraryVersion() { return curl_version(); }

void CancelFetches() { g_cancelled.store(true); }

void ResumeFetches() { g_cancelled.store(false); }
