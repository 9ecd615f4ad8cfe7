// SPDX-License-Identifier: GPL-2.0-or-later
// The pure parts of serve's answers: filters and the texts made from the entries in memory.
#include "serve/serve_view.h"

#include <nlohmann/json.hpp>

#include <malloc.h>

#include <algorithm>
#include <cstdio>

#include "harvest/channel_export.h"
#include "text/text.h"

namespace {

const char kStatusLive[] = "live";
const char kStatusDead[] = "dead";
const char kStatusAll[] = "all";
const size_t kMaxIdDigits = 18;
const char kMetricPrefix[] = "morvek_";
const char kUserAgentOption[] = "#EXTVLCOPT:http-user-agent=";
const char kReferrerOption[] = "#EXTVLCOPT:http-referrer=";
const char kHeadersOption[] = "#EXTHTTP:";
const char kHarvestWord[] = "harvest";
const char kCheckWord[] = "check";
const size_t kMaxSizeDigits = 6;

bool IsDigits(const std::string& text, size_t most) {
  return !text.empty() && text.size() <= most &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// A number from 0 to 1 in decimal ("0", "0.75", "1", "1.0"); none otherwise.
std::optional<double> ReadShare(const std::string& text) {
  const size_t kMaxDecimals = 6;
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return std::nullopt;
  if (text.size() == 1) return text[0] == '1' ? 1.0 : 0.0;
  const std::string decimals = text.substr(2);
  if (text[1] != '.' || decimals.empty() || decimals.size() > kMaxDecimals ||
      decimals.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  if (text[0] == '1') {
    if (decimals.find_first_not_of('0') != std::string::npos) return std::nullopt;
    return 1.0;
  }
  double value = 0;
  double place = 0.1;
  for (char digit : decimals) {
    value += (digit - '0') * place;
    place /= 10;
  }
  return value;
}

// Puts one argument into the filter; the refusal, or "".
std::string TakeArgument(const std::string& name, const std::string& value, bool sinceAllowed,
                         EntryFilter& filter) {
  if (name == "status") {
    if (value == kStatusLive)
      filter.status = StatusFilter::kLive;
    else if (value == kStatusDead)
      filter.status = StatusFilter::kDead;
    else if (value == kStatusAll)
      filter.status = StatusFilter::kAll;
    else
      return "status must be live, dead or all";
  } else if (name == "country") {
    filter.country = ToLowerCase(value);
  } else if (name == "category") {
    filter.category = ToLowerCase(value);
  } else if (name == "q") {
    filter.words = ToLowerCase(value);
  } else if (name == "min_uptime") {
    const std::optional<double> share = ReadShare(value);
    if (!share) return "min_uptime must be a number from 0 to 1";
    filter.minUptime = *share;
  } else if (name == "id") {
    if (!IsDigits(value, kMaxIdDigits)) return "id must be a number";
    filter.id = std::stoll(value);
  } else if (name == "since" && sinceAllowed) {
    if (!IsDigits(value, kMaxIdDigits)) return "since must be a number";
    filter.since = std::stoll(value);
  } else {
    return Concat("unknown query argument ", name);
  }
  return std::string();
}

bool IsLive(const EntryRow& row) {
  return row.last && row.last->status == VerdictWord(Verdict::kLive);
}

nlohmann::json TextOrNull(const std::string& text) {
  if (text.empty()) return nullptr;
  return text;
}

// The width or height of a video description ("h264 1280x720": the last word's numbers), or
// null.
nlohmann::json SizeOrNull(const std::string& video, bool width) {
  const size_t space = video.rfind(' ');
  const std::string size = space == std::string::npos ? video : video.substr(space + 1);
  const size_t x = size.find('x');
  if (x == std::string::npos || x == 0 || x + 1 >= size.size()) return nullptr;
  const std::string part = width ? size.substr(0, x) : size.substr(x + 1);
  if (!IsDigits(part, kMaxSizeDigits)) return nullptr;
  return std::stoi(part);
}

// The quality label of a stored result, its width read from its video description.
std::string QualityOf(const LastResult& r) {
  const nlohmann::json width = SizeOrNull(r.video, true);
  return QualityOfPicture(width.is_number() ? width.get<int>() : 0, r.height);
}

nlohmann::json HistoryResultJson(const LastResult& r) {
  const bool live = r.status == VerdictWord(Verdict::kLive);
  nlohmann::json j = {{"time", r.time},
                      {"status", r.status},
                      {"detail", r.detail},
                      {"format", TextOrNull(r.format)},
                      {"video", TextOrNull(r.video)},
                      {"audio", TextOrNull(r.audio)},
                      {"bitrate_bps", nullptr},
                      {"fps", nullptr},
                      {"quality", TextOrNull(QualityOf(r))},
                      {"width", SizeOrNull(r.video, true)},
                      {"height", nullptr},
                      {"elapsed_ms", r.elapsedMs}};
  if (live && r.bitrateBps > 0) j["bitrate_bps"] = r.bitrateBps;
  if (live && r.fps > 0) j["fps"] = r.fps;
  if (r.height > 0) j["height"] = r.height;
  return j;
}

LastResult LastResultOf(const NewResult& r) {
  const CheckResult& c = r.result;
  return LastResult{r.time,    VerdictWord(c.verdict),
                    c.detail,  c.format,
                    c.video,   c.audio,
                    c.bitrate, c.fps,
                    c.height,  c.elapsedMs};
}

nlohmann::json EntryJson(const EntryRow& row) {
  const SourceEntry& e = row.entry;
  nlohmann::json j = {{"id", row.id},
                      {"name", e.name},
                      {"country", e.country},
                      {"category", e.category},
                      {"group", e.group},
                      {"tvg_id", e.tvgId},
                      {"stream", e.stream},
                      {"homepage", e.homepage},
                      {"bitrate", e.bitrate},
                      {"kbps", nullptr},
                      {"source", row.source},
                      {"first_seen", row.firstSeen},
                      {"last_seen", row.lastSeen},
                      {"last_checked", nullptr},
                      {"status", nullptr},
                      {"detail", nullptr},
                      {"format", nullptr},
                      {"video", nullptr},
                      {"audio", nullptr},
                      {"bitrate_bps", nullptr},
                      {"fps", nullptr},
                      {"quality", nullptr},
                      {"mislabeled", false},
                      {"elapsed_ms", nullptr},
                      {"uptime", nullptr},
                      {"checks", row.checks},
                      {"picture", row.picture},
                      {"black", row.black},
                      {"frozen", row.frozen},
                      {"seq", row.seq}};
  if (IsDigits(e.bitrate, 6)) j["kbps"] = std::stoi(e.bitrate);
  if (const std::optional<double> uptime = Uptime(row)) j["uptime"] = *uptime;
  if (!row.last) return j;
  const LastResult& r = *row.last;
  j["last_checked"] = r.time;
  j["status"] = r.status;
  j["detail"] = r.detail;
  j["format"] = TextOrNull(r.format);
  j["video"] = TextOrNull(r.video);
  j["audio"] = TextOrNull(r.audio);
  if (r.bitrateBps > 0) j["bitrate_bps"] = r.bitrateBps;
  if (r.fps > 0) j["fps"] = r.fps;
  const std::string quality = QualityOf(r);
  j["quality"] = TextOrNull(quality);
  const std::string named = QualityInName(e.name);
  j["mislabeled"] = IsLive(row) && !named.empty() && !quality.empty() && named != quality;
  j["elapsed_ms"] = r.elapsedMs;
  return j;
}

// The lines that tell a player what the entry's requests send, as a playlist gave them.
std::string PlayerOptions(const StreamRequest& request) {
  std::string lines;
  if (!request.userAgent.empty()) lines += Concat(kUserAgentOption, request.userAgent, "\n");
  if (!request.referrer.empty()) lines += Concat(kReferrerOption, request.referrer, "\n");
  if (request.headers.empty()) return lines;
  nlohmann::ordered_json headers = nlohmann::ordered_json::object();
  for (const std::string& header : request.headers) {
    const size_t colon = header.find(':');
    if (colon == std::string::npos) continue;
    headers[header.substr(0, colon)] = TrimSpaces(header.substr(colon + 1));
  }
  return Concat(lines, kHeadersOption,
                headers.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "\n");
}

std::string Metric(const std::string& name, const std::string& help, const std::string& type) {
  return Concat("# HELP ", kMetricPrefix, name, " ", help, "\n# TYPE ", kMetricPrefix, name, " ",
                type, "\n");
}

std::string Number(double value) {
  nlohmann::json j = value;
  return j.dump();
}

}  // namespace

FilterQuery ParseFilter(const std::vector<std::pair<std::string, std::string>>& arguments,
                        StatusFilter byDefault, bool sinceAllowed) {
  FilterQuery query;
  query.filter.status = byDefault;
  if (arguments.size() > kMaxQueryArguments) {
    query.refusal = "too many query arguments";
    return query;
  }
  for (size_t i = 0; i < arguments.size(); ++i) {
    const auto& [name, value] = arguments[i];
    for (size_t j = 0; j < i; ++j) {
      if (arguments[j].first == name) query.refusal = Concat(name, " is given twice");
    }
    if (value.size() > kMaxQueryValueBytes) query.refusal = Concat(name, " is too long");
    if (!query.refusal.empty()) return query;
    query.refusal = TakeArgument(name, value, sinceAllowed, query.filter);
    if (!query.refusal.empty()) return query;
  }
  return query;
}

std::optional<double> Uptime(const EntryRow& row) {
  if (row.checks <= 0) return std::nullopt;
  return static_cast<double>(row.live) / row.checks;
}

bool Matches(const EntryRow& row, const EntryFilter& filter) {
  if (filter.id && row.id != *filter.id) return false;
  if (row.seq <= filter.since) return false;
  if (filter.status == StatusFilter::kLive && !IsLive(row)) return false;
  if (filter.status == StatusFilter::kDead && (!row.last || IsLive(row))) return false;
  if (!filter.country.empty() && ToLowerCase(row.entry.country) != filter.country) return false;
  if (!filter.category.empty() && ToLowerCase(row.entry.category) != filter.category &&
      ToLowerCase(row.entry.group) != filter.category) {
    return false;
  }
  if (!filter.words.empty() && ToLowerCase(row.entry.name).find(filter.words) == std::string::npos)
    return false;
  if (filter.minUptime > 0) {
    const std::optional<double> uptime = Uptime(row);
    if (!uptime || *uptime < filter.minUptime) return false;
  }
  return true;
}

const char* RunKindWord(RunKind kind) {
  if (kind == RunKind::kHarvest) return kHarvestWord;
  if (kind == RunKind::kCheck) return kCheckWord;
  return "";
}

std::string HealthProblem(const ViewState& view) {
  if (!view.entries.empty()) return std::string();
  if (!view.listLost.empty()) return Concat("no list: ", view.listLost);
  if (view.lastHarvest && !view.lastHarvestComplete) return "no list: the last harvest kept none";
  return std::string();
}

RunKind RunKindNamed(const std::string& word) {
  if (word == kHarvestWord) return RunKind::kHarvest;
  if (word == kCheckWord) return RunKind::kCheck;
  return RunKind::kNone;
}

void ServeView::SetEntries(std::vector<EntryRow> entries) {
  state_.entries = std::move(entries);
  state_.indexOf.clear();
  for (size_t i = 0; i < state_.entries.size(); ++i) state_.indexOf[state_.entries[i].id] = i;
  ++version_;
}

void ServeView::Load(ViewState state) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  state_ = std::move(state);
  state_.indexOf.clear();
  for (size_t i = 0; i < state_.entries.size(); ++i) state_.indexOf[state_.entries[i].id] = i;
  ++version_;
}

void ServeView::EntriesReloaded(std::vector<EntryRow> entries, int64_t seq, int64_t now,
                                std::optional<std::string> channelFile) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  SetEntries(std::move(entries));
  state_.seq = std::max(state_.seq, seq);
  state_.changed = now;
  if (channelFile) state_.channelFile = std::move(*channelFile);
}

void ServeView::ListLost(std::string why) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  state_.listLost = std::move(why);
}

void ServeView::RunBegan(RunKind kind, int64_t total, int64_t now) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  state_.run = RunState{kind, now, 0, total, 0};
}

void ServeView::RunEnded() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  state_.run = RunState();
}

void ServeView::ResultChecked(int64_t finished, int64_t live) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  state_.run.done += finished;
  state_.run.live = live;
}

void ServeView::ResultsArrived(const std::vector<NewResult>& results,
                               const std::vector<std::optional<bool>>& frozen,
                               const std::vector<KeptCounts>& counts, bool stored, int64_t seq,
                               int64_t now) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  std::vector<EntryRow>& entries = state_.entries.Change();
  for (size_t i = 0; i < results.size(); ++i) {
    const auto found = state_.indexOf.find(results[i].entryId);
    if (found == state_.indexOf.end()) continue;
    EntryRow& row = entries[found->second];
    row.last = LastResultOf(results[i]);
    row.seq = seq;
    if (i < frozen.size() && frozen[i]) {
      row.picture = true;
      row.black = results[i].result.picture.black;
      row.frozen = *frozen[i];
    }
    if (stored && i < counts.size()) {
      row.checks = counts[i].checks;
      row.live = counts[i].live;
    }
  }
  state_.seq = seq;
  state_.changed = now;
  ++version_;
  if (stored) state_.resultsStored += static_cast<int64_t>(results.size());
  if (!stored) ++state_.storeFailures;
}

void ServeView::HarvestFinished(int64_t now, bool complete, double seconds) {
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    state_.lastHarvest = now;
    state_.lastHarvestComplete = complete;
    state_.lastHarvestSeconds = seconds;
  }
  malloc_trim(0);
}

void ServeView::CheckFinished(int64_t now, double seconds, double resultsPerSecond) {
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    state_.lastCheck = now;
    state_.lastCheckSeconds = seconds;
    state_.lastCheckRate = resultsPerSecond;
  }
  malloc_trim(0);
}

ServeView::Entries ServeView::Snapshot() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return Entries{state_.entries.Shared(), state_.seq, state_.changed, version_.load()};
}

int64_t ServeView::NextSeq() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return state_.seq + 1;
}

std::string FilterKey(const EntryFilter& filter) {
  const char* const statuses[] = {kStatusLive, kStatusDead, kStatusAll};
  char uptime[32];
  std::snprintf(uptime, sizeof uptime, "%.6f", filter.minUptime);
  // Texts with their length before them, so that no text can reach into the next.
  std::string key = Concat(statuses[static_cast<int>(filter.status)], " ", uptime, " ",
                           filter.id ? std::to_string(*filter.id) : "-", " ",
                           std::to_string(filter.since));
  for (const std::string* text : {&filter.country, &filter.category, &filter.words}) {
    key += Concat(" ", std::to_string(text->size()), ":", *text);
  }
  return key;
}

std::string PlaylistText(const std::vector<EntryRow>& entries, const EntryFilter& filter) {
  std::string text = kM3uHeader;
  for (const EntryRow& row : entries) {
    if (!Matches(row, filter)) continue;
    const SourceEntry& e = row.entry;
    const std::string lines = M3uEntryText(e.name, e.country, e.group, e.stream);
    if (lines.empty()) continue;
    const size_t address = lines.find('\n') + 1;
    text.append(lines, 0, address);
    if (!e.request.empty()) text += PlayerOptions(RequestOf(e.request, std::string()));
    text.append(lines, address, std::string::npos);
  }
  return text;
}

std::string ChannelsJson(const std::vector<EntryRow>& entries, int64_t seq,
                         const EntryFilter& filter) {
  // One entry's object at a time, so that only the text of the answer is held whole.
  std::string text = Concat("{\"seq\":", std::to_string(seq), ",\"entries\":[");
  bool first = true;
  for (const EntryRow& row : entries) {
    if (!Matches(row, filter)) continue;
    if (!first) text += ',';
    first = false;
    text += EntryJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  text += "]}";
  return text;
}

std::string StatusJson(const ViewState& view) {
  nlohmann::json answer = {{"run", nullptr},
                           {"last_harvest", nullptr},
                           {"last_check", nullptr},
                           {"entries", view.entries.size()},
                           {"seq", view.seq}};
  if (view.run.kind != RunKind::kNone) {
    answer["run"] = {{"kind", RunKindWord(view.run.kind)},
                     {"started", view.run.started},
                     {"done", view.run.done},
                     {"total", view.run.total},
                     {"live", view.run.live}};
  }
  if (view.lastHarvest) answer["last_harvest"] = *view.lastHarvest;
  if (view.lastCheck) answer["last_check"] = *view.lastCheck;
  return answer.dump();
}

std::string MetricsText(const ViewState& view) {
  std::map<std::string, int64_t> byVerdict;
  for (int v = 0; v < kVerdictCount; ++v) byVerdict[VerdictWord(static_cast<Verdict>(v))] = 0;
  byVerdict["unchecked"] = 0;
  for (const EntryRow& row : view.entries) ++byVerdict[row.last ? row.last->status : "unchecked"];
  std::string text = Metric("entries", "Entries by the verdict of their last check.", "gauge");
  for (const auto& [verdict, count] : byVerdict) {
    text +=
        Concat(kMetricPrefix, "entries{verdict=\"", verdict, "\"} ", std::to_string(count), "\n");
  }
  const auto gauge = [&text](const char* name, const char* help, double value) {
    text += Concat(Metric(name, help, "gauge"), kMetricPrefix, name, " ", Number(value), "\n");
  };
  gauge("last_harvest_timestamp_seconds", "When the last harvest ended.",
        static_cast<double>(view.lastHarvest.value_or(0)));
  gauge("last_harvest_duration_seconds", "How long the last harvest took.",
        view.lastHarvestSeconds);
  gauge("last_check_timestamp_seconds", "When the last check ended.",
        static_cast<double>(view.lastCheck.value_or(0)));
  gauge("last_check_duration_seconds", "How long the last check took.", view.lastCheckSeconds);
  gauge("last_check_results_per_second", "Check results per second of the last check.",
        view.lastCheckRate);
  gauge("run_in_progress", "1 while a harvest or check runs.",
        view.run.kind == RunKind::kNone ? 0 : 1);
  text += Concat(Metric("results_stored_total", "Check results stored since the start.", "counter"),
                 kMetricPrefix, "results_stored_total ", std::to_string(view.resultsStored), "\n");
  text += Concat(Metric("store_failures_total", "Failed writes to the database.", "counter"),
                 kMetricPrefix, "store_failures_total ", std::to_string(view.storeFailures), "\n");
  return text;
}

std::string HistoryJson(int64_t entryId, const std::vector<LastResult>& results) {
  nlohmann::json list = nlohmann::json::array();
  for (const LastResult& r : results) list.push_back(HistoryResultJson(r));
  const nlohmann::json answer = {{"id", entryId}, {"results", std::move(list)}};
  return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
