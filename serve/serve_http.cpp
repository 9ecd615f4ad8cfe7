// SPDX-License-Identifier: GPL-2.0-or-later
// The HTTP side of serve: routes, conditional answers, gzip, the run requests' token, and the
// answers kept ready per query until the entries change; who may read (the Host, the read
// token), and the bounds on connections (per address, the request head's deadline).
#include "serve/serve_http.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "serve/serve_cache.h"
#include "serve/web_assets.h"
#include "text/text.h"

namespace {

const char kPlaylistPath[] = "/playlist.m3u";
const char kChannelsPath[] = "/channels.json";
const char kChannelFilePath[] = "/channels.dat";
const char kStatusPath[] = "/status.json";
const char kMetricsPath[] = "/metrics";
const char kHealthPath[] = "/healthz";
const char kRunsPrefix[] = "/runs/";
const char kEntriesPrefix[] = "/channels/";
const char kHistorySuffix[] = "/history.json";
const char kPictureSuffix[] = "/picture.jpg";
const size_t kMaxIdDigits = 18;

const char kPlaylistType[] = "audio/x-mpegurl; charset=utf-8";
const char kJsonType[] = "application/json";
const char kChannelFileType[] = "text/plain; charset=windows-1252";
const char kTextType[] = "text/plain; charset=utf-8";
const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
const char kJpegType[] = "image/jpeg";
const char kGetMethods[] = "GET, HEAD";
const char kPostMethods[] = "POST";
const char kBearerPrefix[] = "Bearer ";
const char kKeyArgument[] = "key";  // the read token in the address, for players
const char kLoopbackName[] = "localhost";
const std::chrono::seconds kSweepPeriod{1};
const int64_t kNeverLogged = std::numeric_limits<int64_t>::min();
// The library's own words for a process out of file descriptors. (Its word for full slots is
// also said for every connection past the bound per address, so the slots are counted here.)
const char kLibraryResourceLimit[] = "Hit process or system resource limit";
const char kNoFilesLeft[] = "Too many open files";
const int kGzipLevel = 6;
const size_t kLeastGzipBytes = 256;
const int kGzipWindowBits = 15 + 16;  // a gzip wrapper around the deflate stream
// Freed answers of at least this many bytes give their memory back to the system at once.
const size_t kTrimBytes = 1u << 20;

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Answer {
  unsigned status = MHD_HTTP_OK;
  std::string contentType = kTextType;
  std::string body;
  bool compressible = false;  // gzip is offered
  // The body compressed, made when a client first asks for it.
  mutable std::once_flag gzipOnce;
  mutable std::string gzip;
  std::string etag;          // with its quotes; "" for none
  std::string lastModified;  // an HTTP date; "" for none
  std::string allow;
  bool challenge = false;  // asks for a bearer token
  unsigned retryAfter = 0;  // seconds; 0 for no Retry-After
  // The count of the bytes of large answers being sent, which this one is in; null for none.
  std::atomic<size_t>* inFlight = nullptr;
  ~Answer() {
    if (inFlight != nullptr) inFlight->fetch_sub(body.size());
  }
};
using AnswerPtr = std::shared_ptr<const Answer>;

// The bytes an answer kept ready is counted for.
size_t CountedBytes(const Answer& answer) {
  return answer.body.size() + (answer.compressible ? answer.body.size() / kGzipShareCounted : 0);
}

// One client connection, from its opening to its close; under the server's linksMutex.
struct Link {
  int fd = -1;
  std::chrono::steady_clock::time_point headBegan;
  bool inHead = true;  // a request head is awaited or being read
  bool closing = false;
  AnswerPtr made;  // the answer an answer thread made while the connection was suspended
};

struct Arguments {
  std::vector<std::pair<std::string, std::string>> list;
  bool tooMany = false;
};

// A JSON answer to make on an answer thread, for a suspended connection.
struct AnswerJob {
  MHD_Connection* connection = nullptr;
  Link* link = nullptr;
  std::string path;
  Arguments arguments;
};

// Markers in the library's per-request pointer: the request line was read (with a valid or a
// refused address), then the whole head. Markers rather than allocations, since the library
// forgets a request whose head never completes.
char g_lineRead;
char g_badLineRead;
char g_headRead;
char g_badHeadRead;

}  // namespace

struct HttpServer {
  HttpSettings settings;
  ServeView* view = nullptr;
  Database* db = nullptr;
  RunRequest requestRun;
  MHD_Daemon* daemon = nullptr;
  AnswerCache<Answer> cache{kAnswerCacheBytes, kMaxCachedAnswerBytes};
  std::atomic<size_t> largeInFlight{0};
  bool loopbackOnly = true;  // bound to a loopback address
  std::mutex linksMutex;
  std::unordered_set<Link*> links;
  bool stopping = false;  // under linksMutex
  std::condition_variable sweeperWake;
  std::thread sweeper;  // closes connections whose request head is overdue, drops old answers
  std::atomic<int64_t> slotsLogged{kNeverLogged};
  std::atomic<int64_t> filesLogged{kNeverLogged};
  std::mutex jobsMutex;
  std::condition_variable jobsWake;
  std::deque<AnswerJob> jobs;
  bool jobsEnding = false;  // under jobsMutex: no job is queued any more
  std::vector<std::thread> answerThreads;
};

void HttpServerStopper::operator()(HttpServer* server) const {
  if (server->sweeper.joinable()) {
    {
      std::lock_guard<std::mutex> lock(server->linksMutex);
      server->stopping = true;
    }
    server->sweeperWake.notify_all();
    server->sweeper.join();
  }
  // The answer threads finish the jobs queued and resume their connections: the library stops
  // only without suspended ones.
  {
    std::lock_guard<std::mutex> lock(server->jobsMutex);
    server->jobsEnding = true;
  }
  server->jobsWake.notify_all();
  for (std::thread& thread : server->answerThreads) thread.join();
  if (server->daemon != nullptr) MHD_stop_daemon(server->daemon);
  delete server;
}

namespace {

std::string HttpDate(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[parts.tm_wday],
                parts.tm_mday, kMonthNames[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

std::string Gzip(const std::string& body) {
  z_stream stream{};
  if (deflateInit2(&stream, kGzipLevel, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return std::string();
  std::string out(deflateBound(&stream, body.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int code = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return code == Z_STREAM_END ? out : std::string();
}

std::string EntityTag(const std::string& body) {
  char text[24];
  std::snprintf(text, sizeof text, "\"%016zx\"", std::hash<std::string>()(body));
  return text;
}

// A body answer with its tag, and its gzip form when that is smaller.
std::shared_ptr<Answer> BodyAnswer(const std::string& type, std::string body, int64_t modified) {
  auto answer = std::make_shared<Answer>();
  answer->contentType = type;
  answer->etag = EntityTag(body);
  if (modified > 0) answer->lastModified = HttpDate(modified);
  answer->compressible = body.size() > kLeastGzipBytes;
  answer->body = std::move(body);
  return answer;
}

std::shared_ptr<Answer> PlainAnswer(unsigned status, const std::string& text) {
  auto answer = std::make_shared<Answer>();
  answer->status = status;
  answer->body = Concat(text, "\n");
  return answer;
}

std::string HeaderValue(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value == nullptr ? std::string() : value;
}

// True for a weight above zero: "1", "0.5"; not "0", "0.000", "-1" or text.
bool PositiveWeight(const std::string& weight) {
  return !weight.empty() && weight[0] >= '0' && weight[0] <= '9' &&
         weight.find_first_not_of("0123456789.") == std::string::npos &&
         weight.find_first_of("123456789") != std::string::npos;
}

// True when the client takes gzip: a "gzip" coding in Accept-Encoding not weighted q=0.
bool AcceptsGzip(const std::string& accepted) {
  size_t start = 0;
  while (start <= accepted.size()) {
    size_t end = accepted.find(',', start);
    if (end == std::string::npos) end = accepted.size();
    const std::string item = ToLowerCase(TrimSpaces(accepted.substr(start, end - start)));
    const std::string coding = TrimSpaces(item.substr(0, item.find(';')));
    if (coding == "gzip") {
      const size_t q = item.find("q=");
      if (q == std::string::npos) return true;
      const std::string weight = item.substr(q + 2);
      return PositiveWeight(TrimSpaces(weight.substr(0, weight.find(';'))));
    }
    start = end + 1;
  }
  return false;
}

// The tag of the gzip form: another representation, so another tag.
std::string GzipTag(const std::string& etag) {
  return Concat(etag.substr(0, etag.size() - 1), "-gz\"");
}

// True when the client holds this answer already, in either form.
bool NotModified(MHD_Connection* connection, const Answer& answer) {
  const std::string tags = HeaderValue(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);
  if (!tags.empty()) {
    return !answer.etag.empty() &&
           (tags.find(answer.etag) != std::string::npos ||
            tags.find(GzipTag(answer.etag)) != std::string::npos || TrimSpaces(tags) == "*");
  }
  const std::string since = HeaderValue(connection, MHD_HTTP_HEADER_IF_MODIFIED_SINCE);
  return !since.empty() && since == answer.lastModified;
}

void FreeHeld(void* held) {
  auto* answer = static_cast<AnswerPtr*>(held);
  const bool last = answer->use_count() == 1 && (*answer)->body.size() >= kTrimBytes;
  delete answer;
  // The memory of a large answer no one holds any more goes back to the system at once.
  if (last) malloc_trim(0);
}

void AddCommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Content-Security-Policy",
                          std::string(kContentSecurityPolicy).c_str());
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result Send(MHD_Connection* connection, const AnswerPtr& answer) {
  const bool notModified = answer->status == MHD_HTTP_OK && NotModified(connection, *answer);
  bool gzip = !notModified && answer->compressible &&
              AcceptsGzip(HeaderValue(connection, MHD_HTTP_HEADER_ACCEPT_ENCODING));
  if (gzip) {
    std::call_once(answer->gzipOnce, [&answer] { answer->gzip = Gzip(answer->body); });
    gzip = !answer->gzip.empty();
  }
  const std::string& body = gzip ? answer->gzip : answer->body;
  const size_t size = notModified ? 0 : body.size();
  // The answer stays alive until the library has sent its bytes.
  auto* held = new AnswerPtr(answer);
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      size, const_cast<char*>(body.data()), FreeHeld, held);
  if (response == nullptr) {
    delete held;
    return MHD_NO;
  }
  AddCommonHeaders(response);
  if (!notModified) MHD_add_response_header(response, "Content-Type", answer->contentType.c_str());
  if (!answer->etag.empty()) {
    MHD_add_response_header(response, "ETag",
                            (gzip ? GzipTag(answer->etag) : answer->etag).c_str());
    MHD_add_response_header(response, "Cache-Control", "no-cache");
  }
  if (!answer->lastModified.empty()) {
    MHD_add_response_header(response, "Last-Modified", answer->lastModified.c_str());
  }
  if (answer->compressible) MHD_add_response_header(response, "Vary", "Accept-Encoding");
  if (gzip) MHD_add_response_header(response, "Content-Encoding", "gzip");
  if (!answer->allow.empty()) MHD_add_response_header(response, "Allow", answer->allow.c_str());
  if (answer->challenge) MHD_add_response_header(response, "WWW-Authenticate", "Bearer");
  if (answer->retryAfter > 0) {
    MHD_add_response_header(response, "Retry-After", std::to_string(answer->retryAfter).c_str());
  }
  const unsigned status = notModified ? MHD_HTTP_NOT_MODIFIED : answer->status;
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result TakeArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  auto* arguments = static_cast<Arguments*>(cls);
  if (std::strcmp(key, kKeyArgument) == 0) return MHD_YES;  // the read token, not a filter
  if (arguments->list.size() >= kMaxQueryArguments) {
    arguments->tooMany = true;
    return MHD_NO;
  }
  arguments->list.emplace_back(key, value == nullptr ? "" : value);
  return MHD_YES;
}

// The entry id of "/channels/ID<suffix>", or none.
std::optional<int64_t> EntryIdIn(const std::string& path, const char* suffix) {
  const size_t prefix = sizeof kEntriesPrefix - 1;
  const size_t tail = std::strlen(suffix);
  if (path.size() <= prefix + tail || !StartsWith(path, kEntriesPrefix) ||
      path.compare(path.size() - tail, tail, suffix) != 0) {
    return std::nullopt;
  }
  const std::string digits = path.substr(prefix, path.size() - prefix - tail);
  // One spelling per entry: no leading zero.
  if (digits.empty() || digits.size() > kMaxIdDigits || digits[0] == '0' ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoll(digits);
}

bool TokenMatches(const std::string& given, const std::string& token) {
  // Every byte is compared, so that the time taken does not tell how much matched.
  unsigned char differ = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < given.size() && i < token.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return differ == 0;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// False when the raw address holds a bad percent-escape or an escaped NUL, which the library
// would decode into a text cut short.
bool EscapesValid(const char* uri) {
  for (const char* c = uri; *c != '\0'; ++c) {
    if (*c != '%') continue;
    if (!IsHexDigit(c[1]) || !IsHexDigit(c[2]) || (c[1] == '0' && c[2] == '0')) return false;
    c += 2;
  }
  return true;
}

// ":PORT" (digits, maybe none) or "".
bool PortSuffix(const std::string& text) {
  return text.empty() || (text[0] == ':' && text.size() <= 6 &&
                          text.find_first_not_of("0123456789", 1) == std::string::npos);
}

// The name of a Host value, lowercase, without its port and final dot: "[::1]", "127.0.0.1",
// "tv.lan"; "" when malformed.
std::string HostName(const std::string& value) {
  size_t end = value.find(':');
  if (!value.empty() && value[0] == '[') {
    end = value.find(']');
    if (end == std::string::npos) return std::string();
    ++end;
  }
  if (end == std::string::npos) end = value.size();
  if (!PortSuffix(value.substr(end))) return std::string();
  std::string name = ToLowerCase(value.substr(0, end));
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// "[v6]" without its brackets, other names as they are.
std::string Unbracketed(const std::string& name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    return name.substr(1, name.size() - 2);
  }
  return name;
}

bool IsIpLiteral(const std::string& name) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, name.c_str(), &v4) == 1 ||
         (name != Unbracketed(name) && inet_pton(AF_INET6, Unbracketed(name).c_str(), &v6) == 1);
}

// A page on another site reaches serve through a name it controls (DNS rebinding), so only
// names serve knows are answered: loopback ones, the --public-name ones, and, when serve is
// reachable from elsewhere, IP literals.
bool HostAllowed(const HttpServer& server, const std::string& name) {
  if (name.empty()) return false;
  if (name == kLoopbackName || (name[0] != '[' && IsLoopbackAddress(name)) ||
      (name[0] == '[' && IsIpLiteral(name) && IsLoopbackAddress(Unbracketed(name)))) {
    return true;
  }
  for (const std::string& allowed : server.settings.publicNames) {
    if (HostName(allowed) == name) return true;
  }
  return !server.loopbackOnly && IsIpLiteral(name);
}

MHD_Result CountHost(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* /*value*/) {
  if (ToLowerCase(key) == "host") ++*static_cast<int*>(cls);
  return MHD_YES;
}

bool ReadTokenGiven(const HttpServer& server, MHD_Connection* connection) {
  const std::string& token = server.settings.readToken;
  const std::string authorization = HeaderValue(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  if (StartsWith(authorization, kBearerPrefix) &&
      TokenMatches(authorization.substr(sizeof kBearerPrefix - 1), token)) {
    return true;
  }
  const char* key = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, kKeyArgument);
  return key != nullptr && TokenMatches(key, token);
}

// Why this request is not answered, or null: a Host serve does not answer to, an address with
// a NUL or bad escape, a GET without the read token. The page's own files and /healthz hold
// nothing of the list and need no token, so that the page can ask for it.
AnswerPtr Refusal(const HttpServer& server, MHD_Connection* connection, const std::string& path,
                  const std::string& method, const char* version, bool badAddress) {
  int hosts = 0;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, CountHost, &hosts);
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  if (hosts > 1) return PlainAnswer(MHD_HTTP_BAD_REQUEST, "more than one Host header");
  if (host == nullptr && std::strcmp(version, MHD_HTTP_VERSION_1_0) != 0) {
    return PlainAnswer(MHD_HTTP_BAD_REQUEST, "a request of HTTP/1.1 needs a Host header");
  }
  if (host != nullptr && !HostAllowed(server, HostName(host))) {
    return PlainAnswer(MHD_HTTP_MISDIRECTED_REQUEST,
                       server.loopbackOnly
                           ? "this server answers to localhost, 127.x and [::1] only"
                           : "this server answers to its IP addresses and --public-name only");
  }
  if (badAddress) {
    return PlainAnswer(MHD_HTTP_BAD_REQUEST, "the address holds a NUL or a bad %-escape");
  }
  const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
  if (server.settings.readToken.empty() || !get || FindWebAsset(path) != nullptr ||
      path == kHealthPath || ReadTokenGiven(server, connection)) {
    return nullptr;
  }
  auto answer = PlainAnswer(MHD_HTTP_UNAUTHORIZED,
                            "the read token is needed (Authorization: Bearer, or ?key=)");
  answer->challenge = true;
  return answer;
}

AnswerPtr RunAnswer(HttpServer& server, MHD_Connection* connection, RunKind kind) {
  if (server.settings.token.empty()) {
    return PlainAnswer(MHD_HTTP_FORBIDDEN, "runs are started over HTTP only with --token-file");
  }
  const std::string authorization = HeaderValue(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  if (!StartsWith(authorization, kBearerPrefix) ||
      !TokenMatches(authorization.substr(sizeof kBearerPrefix - 1), server.settings.token)) {
    auto answer = (PlainAnswer(MHD_HTTP_UNAUTHORIZED, "a bearer token is needed"));
    answer->challenge = true;
    return answer;
  }
  if (!server.requestRun(kind)) return PlainAnswer(MHD_HTTP_CONFLICT, "a run is under way");
  return PlainAnswer(MHD_HTTP_ACCEPTED, Concat("the ", RunKindWord(kind), " starts"));
}

// A filtered answer, made once per query and version of the entries from a snapshot of them,
// so that no lock is held while it is made: the runs change a copy meanwhile, and other
// requests wait only for an answer to the same query.
AnswerPtr FilteredAnswer(HttpServer& server, const std::string& path, const Arguments& arguments) {
  const bool playlist = path == kPlaylistPath;
  const FilterQuery query =
      ParseFilter(arguments.list, playlist ? StatusFilter::kLive : StatusFilter::kAll, !playlist);
  if (!query.refusal.empty()) return PlainAnswer(MHD_HTTP_BAD_REQUEST, query.refusal);
  const std::string key = Concat(path, "?", FilterKey(query.filter));
  // A kept answer is given without a snapshot: one held while the runs commit makes them copy.
  if (AnswerPtr ready = server.cache.Ready(key, server.view->version())) return ready;
  const ServeView::Entries entries = server.view->Snapshot();
  const auto make = [&]() -> AnswerPtr {
    if (server.largeInFlight.load() >= kLargeAnswerBytesInFlight) return nullptr;
    std::shared_ptr<Answer> answer =
        playlist
            ? BodyAnswer(kPlaylistType, PlaylistText(*entries.rows, query.filter), entries.changed)
            : BodyAnswer(kJsonType, ChannelsJson(*entries.rows, entries.seq, query.filter),
                         entries.changed);
    if (answer->body.size() > kMaxCachedAnswerBytes) {
      answer->inFlight = &server.largeInFlight;
      server.largeInFlight += answer->body.size();
    }
    return answer;
  };
  AnswerPtr answer = server.cache.Get(key, entries.version, make, CountedBytes);
  if (server.cache.TakeDroppedBytes() >= kTrimBytes) malloc_trim(0);
  if (answer) return answer;
  auto busy = PlainAnswer(MHD_HTTP_TOO_MANY_REQUESTS,
                          "large answers are being sent to other clients: try again shortly");
  busy->retryAfter = kRetryAfterSeconds;
  return busy;
}

Link* LinkOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<Link*>(info->socket_context);
}

// True when the JSON answer is not kept ready and the connection now waits, suspended, for an
// answer thread to make it.
bool Suspended(HttpServer& server, MHD_Connection* connection, const Arguments& arguments) {
  const FilterQuery query = ParseFilter(arguments.list, StatusFilter::kAll, true);
  Link* link = LinkOf(connection);
  if (!query.refusal.empty() || link == nullptr ||
      server.cache.Ready(Concat(kChannelsPath, "?", FilterKey(query.filter)),
                         server.view->version())) {
    return false;
  }
  std::lock_guard<std::mutex> lock(server.jobsMutex);
  if (server.jobsEnding) return false;
  MHD_suspend_connection(connection);
  server.jobs.push_back(AnswerJob{connection, link, kChannelsPath, arguments});
  server.jobsWake.notify_one();
  return true;
}

void MakeAnswers(HttpServer& server) {
  std::unique_lock<std::mutex> lock(server.jobsMutex);
  while (true) {
    server.jobsWake.wait(lock, [&server] { return server.jobsEnding || !server.jobs.empty(); });
    if (server.jobs.empty()) return;
    AnswerJob job = std::move(server.jobs.front());
    server.jobs.pop_front();
    lock.unlock();
    AnswerPtr answer = FilteredAnswer(server, job.path, job.arguments);
    {
      std::lock_guard<std::mutex> links(server.linksMutex);
      job.link->made = std::move(answer);
    }
    // The library calls Handle again, which sends the answer made.
    MHD_resume_connection(job.connection);
    lock.lock();
  }
}

AnswerPtr ViewAnswer(const ViewState& view, const std::string& path) {
  if (path == kStatusPath) return BodyAnswer(kJsonType, StatusJson(view), 0);
  if (path == kMetricsPath) {
    auto answer = std::make_shared<Answer>();
    answer->contentType = kMetricsType;
    answer->body = MetricsText(view);
    return answer;
  }
  if (view.channelFile.empty()) return PlainAnswer(MHD_HTTP_NOT_FOUND, "no channels.dat yet");
  return BodyAnswer(kChannelFileType, view.channelFile, view.changed);
}

AnswerPtr MethodNotAllowed(const char* allowed) {
  auto answer = (PlainAnswer(MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed"));
  answer->allow = allowed;
  return answer;
}

AnswerPtr Route(HttpServer& server, MHD_Connection* connection, const std::string& path,
                const std::string& method) {
  const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
  if (StartsWith(path, kRunsPrefix)) {
    const RunKind kind = RunKindNamed(path.substr(sizeof kRunsPrefix - 1));
    if (kind == RunKind::kNone) return PlainAnswer(MHD_HTTP_NOT_FOUND, "not found");
    if (method != MHD_HTTP_METHOD_POST) return MethodNotAllowed(kPostMethods);
    return RunAnswer(server, connection, kind);
  }
  const WebAsset* asset = FindWebAsset(path);
  const std::optional<int64_t> history = EntryIdIn(path, kHistorySuffix);
  const std::optional<int64_t> picture = EntryIdIn(path, kPictureSuffix);
  const bool known = asset != nullptr || history || picture || path == kPlaylistPath ||
                     path == kChannelsPath || path == kChannelFilePath || path == kStatusPath ||
                     path == kMetricsPath || path == kHealthPath;
  if (!known) return PlainAnswer(MHD_HTTP_NOT_FOUND, "not found");
  if (!get) return MethodNotAllowed(kGetMethods);
  if (path == kPlaylistPath || path == kChannelsPath) {
    Arguments arguments;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, TakeArgument, &arguments);
    if (arguments.tooMany) return PlainAnswer(MHD_HTTP_BAD_REQUEST, "too many query arguments");
    if (path == kChannelsPath && Suspended(server, connection, arguments)) return nullptr;
    return FilteredAnswer(server, path, arguments);
  }
  if (path == kHealthPath) {
    const std::string problem = server.view->Read(HealthProblem);
    return problem.empty() ? PlainAnswer(MHD_HTTP_OK, "ok")
                           : PlainAnswer(MHD_HTTP_SERVICE_UNAVAILABLE, problem);
  }
  if (asset != nullptr)
    return BodyAnswer(std::string(asset->contentType), std::string(asset->body), 0);
  if (history) {
    const std::optional<std::vector<LastResult>> results = EntryHistory(*server.db, *history);
    if (!results) return PlainAnswer(MHD_HTTP_NOT_FOUND, "no such entry");
    return BodyAnswer(kJsonType, HistoryJson(*history, *results), 0);
  }
  if (picture) {
    const std::optional<std::string> jpeg = PictureJpeg(*server.db, *picture);
    if (!jpeg) return PlainAnswer(MHD_HTTP_NOT_FOUND, "no picture");
    return BodyAnswer(kJpegType, *jpeg, 0);
  }
  return server.view->Read([&path](const ViewState& view) { return ViewAnswer(view, path); });
}

// Says line at most once per kExhaustedLogSeconds for one kind of exhaustion.
void SayExhausted(HttpServer& server, std::atomic<int64_t>& logged, const std::string& line) {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t before = logged.load();
  if (before != kNeverLogged && now - before < kExhaustedLogSeconds) return;
  if (!logged.compare_exchange_strong(before, now) || !server.settings.log) return;
  server.settings.log(Concat(line, " (said at most once a minute)"));
}

void SaySlotsFull(HttpServer& server) {
  SayExhausted(server, server.slotsLogged,
               Concat("all ", std::to_string(kMaxConnections),
                      " connection slots are in use: new clients wait or are refused"));
}

// The library's messages: only running out of file descriptors is said, once a minute.
void LibraryLog(void* cls, const char* format, va_list arguments) {
  auto& server = *static_cast<HttpServer*>(cls);
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  if (StartsWith(text, kLibraryResourceLimit) || std::strstr(text, kNoFilesLeft) != nullptr) {
    SayExhausted(server, server.filesLogged,
                 "the process has no file descriptor left: new clients wait until others close");
  }
}

void NoteConnection(void* cls, MHD_Connection* connection, void** context,
                    MHD_ConnectionNotificationCode code) {
  auto& server = *static_cast<HttpServer*>(cls);
  std::unique_lock<std::mutex> lock(server.linksMutex);
  if (code != MHD_CONNECTION_NOTIFY_STARTED) {
    // Called before the library closes the socket, so the sweeper never shuts a reused one.
    auto* link = static_cast<Link*>(*context);
    server.links.erase(link);
    delete link;
    *context = nullptr;
    return;
  }
  auto* link = new Link;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) link->fd = info->connect_fd;
  link->headBegan = std::chrono::steady_clock::now();
  server.links.insert(link);
  *context = link;
  const bool full = server.links.size() >= kMaxConnections;
  lock.unlock();
  if (full) SaySlotsFull(server);
}

// The connection now awaits (or reads) a request head, or has read one.
void MarkHead(HttpServer& server, MHD_Connection* connection, bool inHead) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr || info->socket_context == nullptr) return;
  std::lock_guard<std::mutex> lock(server.linksMutex);
  auto* link = static_cast<Link*>(info->socket_context);
  link->inHead = inHead;
  link->headBegan = std::chrono::steady_clock::now();
}

void RequestDone(void* cls, MHD_Connection* connection, void** /*state*/,
                 MHD_RequestTerminationCode /*code*/) {
  MarkHead(*static_cast<HttpServer*>(cls), connection, true);
}

// Shuts the connections whose request head is overdue; the library then sees their end and
// closes them as any other. Drops the answers kept of older versions.
void SweepHeads(HttpServer& server) {
  std::unique_lock<std::mutex> lock(server.linksMutex);
  while (!server.stopping) {
    server.sweeperWake.wait_for(lock, kSweepPeriod);
    const auto overdue =
        std::chrono::steady_clock::now() - std::chrono::seconds(kRequestHeadSeconds);
    for (Link* link : server.links) {
      if (link->inHead && !link->closing && link->fd >= 0 && link->headBegan < overdue) {
        shutdown(link->fd, SHUT_RDWR);
        link->closing = true;
      }
    }
    // Answers of older entries are given back soon after a change, not at the next request.
    lock.unlock();
    server.cache.DropOlderThan(server.view->version());
    if (server.cache.TakeDroppedBytes() >= kTrimBytes) malloc_trim(0);
    lock.lock();
  }
}

void* NoteRequestLine(void* /*cls*/, const char* uri, MHD_Connection* /*connection*/) {
  return EscapesValid(uri) ? &g_lineRead : &g_badLineRead;
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char* /*upload*/, size_t* uploadSize, void** state) {
  auto& server = *static_cast<HttpServer*>(cls);
  // The first call comes with the headers; answering once the request is complete keeps the
  // connection open for the next request.
  if (*state != &g_headRead && *state != &g_badHeadRead) {
    *state = *state == &g_badLineRead ? &g_badHeadRead : &g_headRead;
    MarkHead(server, connection, false);
    return MHD_YES;
  }
  // No request takes a body: the connection of one that sends any is closed at its first byte.
  if (*uploadSize > 0) return MHD_NO;
  const std::string path = url;
  if (path.size() > kMaxPathBytes) {
    return Send(connection, PlainAnswer(MHD_HTTP_URI_TOO_LONG, "address too long"));
  }
  if (AnswerPtr refusal =
          Refusal(server, connection, path, method, version, *state == &g_badHeadRead)) {
    return Send(connection, refusal);
  }
  if (Link* link = LinkOf(connection)) {
    AnswerPtr made;
    {
      std::lock_guard<std::mutex> lock(server.linksMutex);
      made = std::move(link->made);
    }
    if (made) return Send(connection, made);
  }
  AnswerPtr answer = Route(server, connection, path, method);
  return answer ? Send(connection, answer) : MHD_YES;
}

}  // namespace

HttpServerHandle StartHttpServer(const HttpSettings& settings, ServeView& view, Database& db,
                                 const RunRequest& requestRun, std::string& problem) {
  HttpServerHandle server(new HttpServer);
  server->settings = settings;
  server->view = &view;
  server->db = &db;
  server->requestRun = requestRun;
  server->loopbackOnly = IsLoopbackAddress(settings.address);
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG |
                   MHD_ALLOW_SUSPEND_RESUME;
  if (inet_pton(AF_INET, settings.address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(settings.port);
    address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, settings.address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(settings.port);
    address = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    problem = Concat(settings.address, " is not an IP address");
    return nullptr;
  }
  server->daemon = MHD_start_daemon(
      flags, settings.port, nullptr, nullptr, Handle, server.get(), MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_THREAD_POOL_SIZE, kHttpThreads, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      kConnectionIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMaxRequestHeaderBytes,
      MHD_OPTION_EXTERNAL_LOGGER, LibraryLog, server.get(), MHD_OPTION_NOTIFY_CONNECTION,
      NoteConnection, server.get(), MHD_OPTION_NOTIFY_COMPLETED, RequestDone, server.get(),
      MHD_OPTION_URI_LOG_CALLBACK, NoteRequestLine, server.get(), MHD_OPTION_END);
  if (server->daemon == nullptr) {
    problem = Concat("cannot listen on ", settings.address, ":", std::to_string(settings.port),
                     " (in use, or not an address of this machine)");
    return nullptr;
  }
  HttpServer* running = server.get();
  server->sweeper = std::thread([running] { SweepHeads(*running); });
  for (unsigned i = 0; i < kAnswerThreads; ++i) {
    server->answerThreads.emplace_back([running] { MakeAnswers(*running); });
  }
  return server;
}

uint16_t ListeningPort(HttpServer& server) {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server.daemon, MHD_DAEMON_INFO_BIND_PORT);
  return info == nullptr ? server.settings.port : info->port;
}
