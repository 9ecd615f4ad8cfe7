// SPDX-License-Identifier: GPL-2.0-or-later
// `morvek-cli serve`: options, the data folder and its lock, the HTTP server and the schedule,
// and a clean end on SIGTERM or Ctrl-C.
#include "serve/serve_command.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fetch/fetch.h"
#include "check/check_command.h"
#include "check/check_plan.h"
#include "cli/options.h"
#include "cli/program.h"
#include "harvest/channel_file.h"
#include "base/system_error.h"
#include "harvest/update_run.h"
#include "serve/serve_http.h"
#include "serve/serve_runs.h"
#include "text/text.h"

namespace {

const size_t kOwnMappingBytes = 1u << 20;

const char kUsage[] =
    "Usage: morvek-cli serve [OPTION]...\n"
    "\n"
    "Keeps the channel list fresh and serves it to media players over HTTP: harvests the\n"
    "directory site and the playlists given, checks every entry, keeps every result in a\n"
    "database, and answers GET /playlist.m3u (the live entries), /channels.json,\n"
    "/channels/ID/history.json, /channels.dat, /status.json, /metrics and /healthz, and\n"
    "shows the entries with their pictures, verdicts and history on its web page at /.\n"
    "\n";
const char kUsageTail[] =
    "\n"
    "SIGTERM or Ctrl-C ends it within two seconds, keeping the finished results (exit 0).\n"
    "Exit codes: 1 the data folder, the database or the address cannot be used, or another\n"
    "serve uses the folder; 2 bad options.\n";
const char kServePrefix[] = "serve: ";
const char kTryHelp[] = " (try morvek-cli serve --help)\n";
const char kDefaultAddress[] = "127.0.0.1";
const uint16_t kDefaultPort = 8765;
const char kLockName[] = "morvek.lock";
const char kDataFolderName[] = "morvek";
const int kStopPollMilliseconds = 100;
const int kExitServeFailed = 1;
const rlim_t kSpareFiles = 256;  // for the database, the checks and the harvest beside the clients

const size_t kHelpColumn = 24;
const char kAsForCheck[] = "as for morvek-cli check";

// serve's own options, then the check's that it takes, then its flags.
const std::vector<OptionSpec> kServeOptions = {
    TextOption("data", 0, "DIR",
               "keep the database in DIR (default $XDG_DATA_HOME/morvek,\n"
               "else ~/.local/share/morvek)"),
    TextOption("listen", 0, "ADDR:PORT",
               "answer on this address (default 127.0.0.1:8765; [ADDR]:PORT\n"
               "for IPv6; port 0 takes a free one)"),
    DurationOption("harvest-every", "D",
                   "harvest again when the last harvest is older than D\n"
                   "(default {default}; D is a number with s, m, h or d)",
                   static_cast<int>(ServeSettings{}.harvestEverySeconds)),
    DurationOption("check-every", "D", "check every entry again after D (default {default})",
                   static_cast<int>(ServeSettings{}.checkEverySeconds)),
    TextOption("site", 0, "URL",
               "harvest the directory site at URL (default: the built-in one,\n"
               "unless --playlist is given)"),
    TextOption("playlist", 0, "LIST",
               "also serve the entries of this playlist or channels.dat (a file\n"
               "or an http(s) address), read again at every harvest; repeatable"),
    TextOption("token-file", 0, "FILE",
               "POST /runs/check and /runs/harvest start a run now when they carry\n"
               "\"Authorization: Bearer\" and the token in FILE; without it they\n"
               "are refused"),
    TextOption("read-token-file", 0, "FILE",
               "every GET but the page's own files and /healthz needs the token\n"
               "in FILE, as \"Authorization: Bearer\" or ?key=TOKEN in the address"),
    TextOption("public-name", 0, "NAME",
               "answer requests for the host name NAME too (besides loopback\n"
               "names and, off loopback, IP addresses); repeatable")};
const std::vector<OptionSpec> kServeCheckOptions =
    OptionRows(kCheckOptions, {"jobs", "timeout", "per-host", "retry", "user-agent"});
const std::vector<OptionSpec> kServeFlags = {
    FlagOption("quiet", 'q', "say failures only"),
    FlagOption("verbose", 'v', "add a line per source read"), kCommandFlags.front()};

// The help: the check's options that serve takes on one line, as they are the check's.
std::string ServeHelp() {
  std::string checkOptions;
  for (const OptionSpec& option : kServeCheckOptions) {
    checkOptions += Concat(checkOptions.empty() ? "  --" : ", --", option.name, " ", option.value);
  }
  return Concat(kUsage, OptionHelp(kServeOptions, kHelpColumn), checkOptions, "\n",
                std::string(kHelpColumn, ' '), kAsForCheck, "\n",
                OptionHelp(kServeFlags, kHelpColumn), kUsageTail);
}

struct ServeOptions {
  ServeSettings settings;
  HttpSettings http;
  std::string tokenFile;
  std::string readTokenFile;
  bool siteGiven = false;
  bool help = false;
  std::string refusal;
};

int Say(const std::string& line, int code) {
  std::fputs(Concat(kProgramPrefix, kServePrefix, line, "\n").c_str(), stderr);
  return code;
}

// "ADDR:PORT" or "[ADDR]:PORT" into the settings; the refusal, or "".
std::string ReadListen(const std::string& text, HttpSettings& http) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return "--listen needs ADDR:PORT";
  std::string address = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    return "--listen needs ADDR:PORT with a port from 0 to 65535";
  }
  http.address = address;
  http.port = static_cast<uint16_t>(std::stoi(port));
  return std::string();
}

std::string TakeOption(const GivenOption& given, ServeOptions& options) {
  const std::string& name = given.name;
  ServeSettings& s = options.settings;
  if (name == "harvest-every" || name == "check-every") {
    const std::optional<int64_t> seconds = ParseDuration(given.value);
    if (!seconds) return Concat("--", name, " needs a duration such as 90s, 15m, 6h or 2d");
    (name == "harvest-every" ? s.harvestEverySeconds : s.checkEverySeconds) = *seconds;
  } else if (name == "jobs" || name == "timeout" || name == "per-host" || name == "retry") {
    const OptionNumber number = ReadNumber(given, *FindOption(kCheckOptions, name));
    int& field = name == "jobs"       ? s.check.jobs
                 : name == "timeout"  ? s.check.timeoutSeconds
                 : name == "per-host" ? s.check.perHost
                                      : s.retries;
    field = number.number;
    return number.refusal;
  } else if (name == "listen") {
    return ReadListen(given.value, options.http);
  } else if (name == "data") {
    s.dataDir = given.value;
  } else if (name == "site") {
    s.siteBase = given.value;
    options.siteGiven = true;
  } else if (name == "playlist") {
    s.playlists.push_back(given.value);
  } else if (name == "token-file") {
    options.tokenFile = given.value;
  } else if (name == "read-token-file") {
    options.readTokenFile = given.value;
  } else if (name == "public-name") {
    options.http.publicNames.push_back(given.value);
  } else if (name == "user-agent") {
    s.userAgent = given.value;
  } else if (name == "quiet") {
    s.quiet = true;
  } else if (name == "verbose") {
    s.verbose = true;
  } else if (name == "help") {
    options.help = true;
  } else {
    return Concat("--", name, " is not an option of serve");
  }
  return std::string();
}

ServeOptions ParseServeOptions(const std::vector<std::string>& args) {
  std::vector<OptionSpec> table = kServeOptions;
  table.insert(table.end(), kServeCheckOptions.begin(), kServeCheckOptions.end());
  table.insert(table.end(), kServeFlags.begin(), kServeFlags.end());
  const GivenArguments given = ReadArguments(args, table);
  ServeOptions options;
  options.http.address = kDefaultAddress;
  options.http.port = kDefaultPort;
  for (size_t i = 0; i < given.options.size() && options.refusal.empty(); ++i) {
    options.refusal = TakeOption(given.options[i], options);
  }
  if (options.refusal.empty()) options.refusal = given.refusal;
  if (options.refusal.empty() && !given.operands.empty()) {
    options.refusal = Concat("unexpected argument ", given.operands.front());
  }
  if (options.refusal.empty() && options.settings.quiet && options.settings.verbose) {
    options.refusal = "--quiet and --verbose exclude each other";
  }
  ServeSettings& s = options.settings;
  if (!options.siteGiven && s.playlists.empty()) s.siteBase = kSiteBase;
  if (!s.siteBase.empty() && s.siteBase.back() != '/') s.siteBase += '/';
  return options;
}

std::string DefaultDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return Concat(dataHome, "/", kDataFolderName);
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return Concat(home, "/.local/share/", kDataFolderName);
}

// Makes the data folder (owner only) when missing; the problem, or "".
std::string PrepareDataFolder(const std::string& folder) {
  if (folder.empty()) return "no data folder: give --data DIR (HOME is not set)";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Concat(folder, " is not a folder that can be made or used");
  }
  // A folder that cannot be written is served read-only.
  if (access(folder.c_str(), R_OK | X_OK) != 0) {
    return Concat(folder, ": ", SystemErrorText(errno));
  }
  return std::string();
}

// Takes the folder's lock for this process's life; -1 with why in problem. A second serve on
// the same folder is refused here, before it opens the database. In a folder that cannot be
// written there is none (-1, problem empty): the database's own lock stands alone.
int TakeFolderLock(const std::string& folder, std::string& problem) {
  const std::string path = Concat(folder, "/", kLockName);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno != EROFS && errno != EACCES) problem = Concat(path, ": ", SystemErrorText(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    problem = errno == EWOULDBLOCK
                  ? Concat("another serve uses ", folder, "; stop it first or give another --data")
                  : Concat(path, ": ", SystemErrorText(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// The token of --token-file; problem says why there is none.
std::string ReadToken(const std::string& path, std::string& problem) {
  std::string bytes;
  problem = ReadInputFile(path, kMaxTokenBytes, false, [&bytes](const char* piece, size_t n) {
    bytes.append(piece, n);
    return true;
  });
  if (!problem.empty()) return std::string();
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  const std::string token = TrimSpaces(bytes);
  if (token.empty()) problem = "holds no token";
  if (token.find_first_of("\r\n") != std::string::npos) problem = "holds more than one line";
  return token;
}

// Room for kMaxConnections clients beside the program's own files.
void RaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = kMaxConnections + kSpareFiles;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

// An IPv6 address in brackets, as it goes before a port.
std::string ShownAddress(const std::string& address) {
  return address.find(':') == std::string::npos ? address : Concat("[", address, "]");
}

}  // namespace

std::optional<int64_t> ParseDuration(const std::string& text) {
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  if (digits == 0 || digits + 1 < text.size() || text.size() > 12) return std::nullopt;
  int64_t unit = 1;
  if (digits < text.size()) {
    const char suffix = text[digits];
    if (suffix == 'm')
      unit = 60;
    else if (suffix == 'h')
      unit = 3600;
    else if (suffix == 'd')
      unit = 86400;
    else if (suffix != 's')
      return std::nullopt;
  }
  const int64_t seconds = std::stoll(text.substr(0, digits)) * unit;
  if (seconds < 1 || seconds > kMaxDurationSeconds) return std::nullopt;
  return seconds;
}

int RunServeCommand(const std::vector<std::string>& args) {
  ServeOptions options = ParseServeOptions(args);
  if (!options.refusal.empty()) {
    std::fputs(Concat(kProgramPrefix, kServePrefix, options.refusal, kTryHelp).c_str(), stderr);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(ServeHelp().c_str(), stdout);
    return kExitOk;
  }
  ServeSettings& settings = options.settings;
  if (!options.tokenFile.empty()) {
    std::string problem;
    options.http.token = ReadToken(options.tokenFile, problem);
    if (!problem.empty())
      return Say(Concat("--token-file ", options.tokenFile, ": ", problem), kExitUsage);
  }
  if (!options.readTokenFile.empty()) {
    std::string problem;
    options.http.readToken = ReadToken(options.readTokenFile, problem);
    if (!problem.empty())
      return Say(Concat("--read-token-file ", options.readTokenFile, ": ", problem), kExitUsage);
  }
  options.http.log = [&settings](const std::string& line) {
    ServeLog(settings, LogLevel::kFailure, line);
  };
  if (settings.dataDir.empty()) settings.dataDir = DefaultDataFolder();
  std::string problem = PrepareDataFolder(settings.dataDir);
  if (!problem.empty()) return Say(problem, kExitServeFailed);
  const int lock = TakeFolderLock(settings.dataDir, problem);
  if (!problem.empty()) return Say(problem, kExitServeFailed);
  // The folder's lock is let go however the command ends, an early refusal or a throw included.
  struct ReleaseAtEnd {
    int fd;
    ~ReleaseAtEnd() {
      if (fd >= 0) close(fd);
    }
  } releaseLock{lock};
  bool readOnly = false;
  DatabaseHandle db = OpenDatabase(Concat(settings.dataDir, "/", kDatabaseName), problem, readOnly);
  if (!db) {
    return Say(Concat("cannot open the database in ", settings.dataDir, ": ", problem),
               kExitServeFailed);
  }
  if (readOnly) {
    ServeLog(settings, LogLevel::kFailure,
             Concat("the database cannot be written (", problem,
                    "): its last state is served, and new results are not kept"));
  }

  // serve runs for months making answers and lists of many megabytes on several threads: each
  // block of at least kOwnMappingBytes gets a mapping of its own, given back when freed, rather
  // than a place in a thread's heap that the heap keeps (glibc raises its threshold as large
  // blocks are freed, up to 32 MiB, and those heaps then sit on every peak).
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kOwnMappingBytes));
  ServeView view;
  Runner runner;
  runner.settings = settings;
  runner.db = db.get();
  runner.view = &view;
  // A damage found at the start, or by the first reads, is moved aside before serving.
  if (!DatabaseDamage(*db)) LoadView(runner);
  if (DatabaseDamage(*db) && !StartAfresh(runner)) return kExitServeFailed;
  // Before any thread starts: every thread then holds the stop signals back for the one that
  // takes them.
  InstallStopHandlers();
  RaiseFileLimit();
  HttpServerHandle http = StartHttpServer(
      options.http, view, *db, [&runner](RunKind kind) { return RequestRun(runner, kind); },
      problem);
  if (!http) return Say(problem, kExitServeFailed);
  const std::string port = std::to_string(ListeningPort(*http));
  const size_t entries = view.Read([](const ViewState& state) { return state.entries.size(); });
  ServeLog(settings, LogLevel::kAlways,
           Concat("listening on ", ShownAddress(options.http.address), ":", port, ", ",
                  std::to_string(entries), " entries, data in ", settings.dataDir));
  // The addresses to give a player and a browser: on this machine, the any-address is
  // reached at the loopback.
  std::string host = ShownAddress(options.http.address);
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "[::]") host = "[::1]";
  const std::string base = Concat("http://", host, ":", port, "/");
  // The read token itself stays out of the log.
  const std::string key = options.http.readToken.empty() ? "" : "?key=TOKEN";
  ServeLog(settings, LogLevel::kAlways,
           Concat("playlist ", base, "playlist.m3u", key, ", web page ", base));
  RunSchedule(runner, [] { return StopExitCode() != 0; });
  http.reset();
  db.reset();
  ServeLog(settings, LogLevel::kRun, "stopped");
  return kExitOk;
}
