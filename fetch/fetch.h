// Reads one web page completely into memory. Never fails: a failure gives a shorter or empty page.
#pragma once

#include <atomic>
#include <string>

struct PageBuffer {
  std::string bytes;  // the body as received, each chunk cut before its first zero byte
  size_t size() const { return bytes.size(); }
};

const int kChunkSize = 2048;

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
};

// The chunk loop over any transport; FetchPage runs it over the platform's. When stop is given
// and becomes true, the loop ends at the next chunk with what it has. The page is collected in
// reuse's memory, emptied first, so that a page read after another needs no new memory.
PageBuffer ReadPage(const std::string& address, const FetchTransport& transport,
                    const std::atomic<bool>* stop = nullptr, PageBuffer reuse = PageBuffer());

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

// Makes fetches in progress and later ones end at once with what they have (Ctrl-C).
// Safe to call from a signal handler or a console control handler.
void CancelFetches();
// Lets later fetches run again after CancelFetches (for tests that cancel and go on).
void ResumeFetches();
