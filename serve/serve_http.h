// SPDX-License-Identifier: GPL-2.0-or-later
// The HTTP side of serve (GNU libmicrohttpd): the playlist, the JSON, the metrics and the run
// requests, nothing else; bounded connections, request sizes and time-outs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serve/serve_store.h"
#include "serve/serve_view.h"

// Connections at once across the server's threads; more wait in the system's queue.
const unsigned kMaxConnections = 4000;
// Connections at once from one client address: a browser opens 6, a player 1 or 2, so the
// bound leaves room for a few of each (and for tests on 127.0.0.1) while one address can never
// take every slot. Past it a new connection is closed at once.
const unsigned kMaxConnectionsPerAddress = 64;
// A connection that sends nothing for this long is closed.
const unsigned kConnectionIdleSeconds = 15;
// A request head (request line and headers) not complete this long after its connection
// opened, or after the answer before it, is closed: trickling bytes does not keep it.
const unsigned kRequestHeadSeconds = 10;
// Running out of connection slots or file descriptors is said at most this often.
const int64_t kExhaustedLogSeconds = 60;
// The request line and the headers together; past it the answer is 414 or 431.
const size_t kMaxRequestHeaderBytes = 16 * 1024;
const size_t kMaxPathBytes = 1024;
const unsigned kHttpThreads = 4;
// The threads that make the JSON answers not kept ready: the connection waits (suspended) while
// they do, so that no other connection of its HTTP thread, a player's among them, waits too.
const unsigned kAnswerThreads = 2;
// The bytes of the answers kept ready, each for one query at one version of the entries; a
// larger answer than kMaxCachedAnswerBytes (the JSON of a very long list) is not kept, only
// shared by the requests for it while one of them is being sent.
const size_t kAnswerCacheBytes = 64u << 20;
const size_t kMaxCachedAnswerBytes = 16u << 20;
// The gzip form of a kept answer, made when first asked for, is counted as this share of its
// body (lists compress to well under it).
const size_t kGzipShareCounted = 4;
// The bytes of answers not kept (larger than kMaxCachedAnswerBytes) that clients are still
// being sent; past it a request that would make another is answered 429 (each thread can add
// one answer more), so that clients that never read cannot take the memory.
const size_t kLargeAnswerBytesInFlight = 64u << 20;
const unsigned kRetryAfterSeconds = 5;
const size_t kMaxTokenBytes = 4096;

struct HttpSettings {
  std::string address = "127.0.0.1";  // IPv4 or IPv6
  uint16_t port = 8765;
  std::string token;      // the bearer token of POST /runs/*; "" refuses them
  std::string readToken;  // needed by every GET but the page's own files; "" for none
  std::vector<std::string> publicNames;         // Host names answered besides IP literals
  std::function<void(const std::string&)> log;  // failures of the server itself
};

// Asks for a run now; false when one runs already.
using RunRequest = std::function<bool(RunKind kind)>;

struct HttpServer;
struct HttpServerStopper {
  void operator()(HttpServer* server) const;
};
using HttpServerHandle = std::unique_ptr<HttpServer, HttpServerStopper>;

// Starts answering on the address; null with why in problem.
HttpServerHandle StartHttpServer(const HttpSettings& settings, ServeView& view, Database& db,
                                 const RunRequest& requestRun, std::string& problem);
// The port the server listens on (the one the system chose for port 0).
uint16_t ListeningPort(HttpServer& server);
