// SPDX-License-Identifier: GPL-2.0-or-later
// Reads one web page completely into memory. Never fails: a failure gives a shorter or empty page.
#pragma once

#include <atomic>
#include <functional>
#include <string>

// What became of a fetch, beside its bytes: they stay the page whatever happened (the body of
// an error page is still the page).
struct FetchOutcome {
  int status = 0;     // HTTP status of the last response; 0 when there was none (no answer,
                      // a local file, FTP)
  std::string error;  // the transport error in words, e.g. "connection refused", "host not
                      // found", "timed out", "read error"; empty when the transfer ended well
};

struct PageBuffer {
  std::string bytes;  // the body as received, each chunk cut before its first zero byte
  FetchOutcome outcome;
  size_t size() const { return bytes.size(); }
};

// The words for an address that did not open, and for a read that failed, when the transport
// has none better; and the words both transports use for the common failures.
const char kNotOpenedError[] = "could not be opened";
const char kReadError[] = "read error";
const char kStoppedError[] = "stopped";
const char kCouldNotConnect[] = "could not connect";
const char kHostNotFound[] = "host not found";
const char kTimedOut[] = "timed out";
const char kBadAddress[] = "not an address that can be read";
const char kPageLimitReached[] = "page limit of 64 MiB reached";

const int kChunkSize = 2048;
// The most bytes a page may have: a page that brings more ends there, with what has arrived
// and the outcome kPageLimitReached, like a page that reaches its time limit.
const size_t kPageByteLimit = size_t{64} << 20;
static_assert(kPageByteLimit == size_t{64} << 20, "kPageLimitReached names the limit");

PageBuffer FetchPage(const std::string& address);

// The platform transport under FetchPage: open an address, read chunks, close.
struct FetchConnection;  // opaque, owned by the transport
struct FetchTransport {
  // Null when the address cannot be opened.
  FetchConnection* (*open)(const std::string& address);
  // Bytes placed at buffer (at most capacity), 0 at the end of the data, -1 on a read error.
  int (*read)(FetchConnection* connection, char* buffer, int capacity);
  // Closes the connection's handles; accepts null.
  void (*close)(FetchConnection* connection);
  // Optional: what became of the fetch, asked after its last read and before close; for a
  // null connection, why the last open on this thread failed.
  FetchOutcome (*outcome)(FetchConnection* connection) = nullptr;
};

// Asked before a page's memory grows by bytes, and may wait for them to be free; false ends
// the page with what it has (a stop).
using PageRoom = std::function<bool(size_t bytes)>;

// The chunk loop over any transport; FetchPage runs it over the platform's. When stop is given
// and becomes true, the loop ends at the next chunk with what it has. The page is collected in
// reuse's memory, emptied first, so that a page read after another needs no new memory; it
// grows by doubling, each step asked of room when one is given.
PageBuffer ReadPage(const std::string& address, const FetchTransport& transport,
                    const std::atomic<bool>* stop = nullptr, PageBuffer reuse = PageBuffer(),
                    const PageRoom& room = nullptr);

// The transport FetchPage uses. Tests may point it at a fake.
extern const FetchTransport* g_fetchTransport;
const FetchTransport& PlatformTransport();
// g_fetchTransport when set, else the platform's.
const FetchTransport& CurrentTransport();

// The connect, send and receive timeout of a fetch; a page also ends, with what has arrived,
// kPageLimitFactor timeouts after its fetch began, so that a server that trickles bytes
// cannot hold a page open for hours. Set before fetches start; later fetches use it.
const int kDefaultFetchTimeoutSeconds = 60;
const int kPageLimitFactor = 10;
void SetFetchTimeout(int seconds);
int FetchTimeoutSeconds();
// Lowers the page limit below kPageByteLimit (a test's smaller pages); 0 restores it.
void SetPageByteLimit(size_t bytes);

// The proxy of later fetches, set before fetches start: proxy is its address, noProxy a
// comma-separated list of hosts reached directly ("*" for all). Empty texts leave the
// environment's http_proxy, https_proxy and no_proxy in force. False when the platform's
// transport connects directly only (WinINet as the window program uses it).
bool SetFetchProxy(const std::string& proxy, const std::string& noProxy);

// The transport library and its version, with those of the libraries it uses, as
// "libcurl/7.88.1 OpenSSL/3.0.15 zlib/1.2.13 ...".
std::string FetchLibraryVersion();

// Makes fetches in progress and later ones end at once with what they have (Ctrl-C).
// Safe to call from a signal handler or a console control handler.
void CancelFetches();
// Lets later fetches run again after CancelFetches (for tests that cancel and go on).
void ResumeFetches();
