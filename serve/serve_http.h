// The HTTP side of serve (GNU libmicrohttpd): the playlist, the JSON, the metrics and the run
// requests, nothing else; bounded connections, request sizes and time-outs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serve/serve_store.h"
#include "serve/serve_view.h"

// Connections at once across the server's threads; more wait in the system's queue.
const unsigned kMaxConnections = 4000;
// A connection that sends nothing for this long is closed.
const unsigned kConnectionIdleSeconds = 15;
// The request line and the headers together; past it the answer is 414 or 431.
const size_t kMaxRequestHeaderBytes = 16 * 1024;
const size_t kMaxPathBytes = 1024;
const unsigned kHttpThreads = 4;
// Answers kept ready, each for one query at one version of the entries; a larger answer (the
// JSON of a very long list) is made for each request instead of held.
const size_t kMaxCachedAnswers = 64;
const size_t kMaxCachedAnswerBytes = 32u << 20;
const size_t kMaxTokenBytes = 4096;

struct HttpSettings {
  std::string address = "127.0.0.1";  // IPv4 or IPv6
  uint16_t port = 8765;
  std::string token;  // the bearer token of POST /runs/*; "" refuses them
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
