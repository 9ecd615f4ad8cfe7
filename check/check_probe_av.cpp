// Probes one address with libavformat: network time-outs and an interrupt callback bound
// every step, a replaying reader lets the demuxer see the bytes already read for sniffing.
#include "check/check_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>

#include "harvest/update_run.h"
#include "text/text.h"

namespace {

const int kHeadBytes = 4096;          // read before deciding what the reply is
const int kWrapperBytes = 64 * 1024;  // the most of a wrapper playlist that is read
const int kReplayBufferBytes = 32 * 1024;
const int64_t kProbeBytes = 1024 * 1024;
const int64_t kAnalyzeMicroseconds = 3 * 1000 * 1000;
const int kLogLineBytes = 1024;
// Only network protocols: a hostile list or wrapper must not reach local files or devices.
const char kProtocolWhitelist[] =
    "http,https,tcp,tls,udp,rtp,rtsp,mmsh,mmst,rtmp,rtmps,rtmpt,rtmpe,rtmpte,rtmpts,rtmphttp,crypto,"
    "httpproxy";
const char kRtmpPrefix[] = "rtmp";  // its "timeout" option would turn on listen mode

struct ProbeState {
  const ProbeLimits* limits = nullptr;
  bool timedOut = false;
  std::string statusLine;  // the first status the library logged during this probe
};

// The probe running on this thread, for the log callback.
thread_local ProbeState* t_probe = nullptr;

int Interrupted(void* opaque) {
  ProbeState* state = static_cast<ProbeState*>(opaque);
  if (RunCancelled()) return 1;
  if (CheckClock::now() < state->limits->deadline) return 0;
  state->timedOut = true;
  return 1;
}

// Keeps the status lines of the probe on this thread; the library's log stays off the console.
void OnLibraryLog(void* context, int level, const char* format, va_list arguments) {
  if (t_probe == nullptr || level > AV_LOG_WARNING || !t_probe->statusLine.empty()) return;
  char line[kLogLineBytes] = {};
  int printPrefix = 0;
  av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
  t_probe->statusLine = StatusFromLibraryLog(line);
}

// The entry's agent, referrer and headers, as the http and hls readers take them.
void SetRequestOptions(const StreamRequest& request, AVDictionary** options) {
  if (!request.userAgent.empty()) av_dict_set(options, "user_agent", request.userAgent.c_str(), 0);
  if (!request.referrer.empty()) av_dict_set(options, "referer", request.referrer.c_str(), 0);
  std::string headers;
  for (const std::string& header : request.headers) headers += Concat(header, "\r\n");
  if (!headers.empty()) av_dict_set(options, "headers", headers.c_str(), 0);
}

AVDictionary* NetworkOptions(const std::string& address, const ProbeLimits& limits) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(limits.deadline - CheckClock::now());
  const int64_t microseconds = std::max<int64_t>(1, left.count());
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kProtocolWhitelist, 0);
  av_dict_set_int(&options, "rw_timeout", microseconds, 0);
  SetRequestOptions(limits.request, &options);
  if (!StartsWith(ToLowerCase(address), kRtmpPrefix)) {
    av_dict_set_int(&options, "timeout", microseconds, 0);
  }
  return options;
}

ProbeOutcome Failure(int error, const ProbeState& state, StreamScheme scheme) {
  ProbeOutcome outcome;
  outcome.result =
      OpenFailure(error, state.statusLine, scheme == StreamScheme::kRtsp ? "RTSP" : "HTTP",
                  state.timedOut, state.limits->timeoutSeconds);
  return outcome;
}

ProbeOutcome Judgement(Verdict verdict, const std::string& detail) {
  ProbeOutcome outcome;
  outcome.result = Judged(verdict, detail);
  return outcome;
}

// Reads until text holds limit bytes or the stream ends; the error code, or 0 at the end.
int ReadInto(AVIOContext* io, std::string& text, int limit) {
  unsigned char block[kHeadBytes];
  while (TextLength(text) < limit) {
    const int wanted = std::min<int>(sizeof block, limit - TextLength(text));
    const int got = avio_read(io, block, wanted);
    if (got == AVERROR_EOF) return 0;
    if (got < 0) return got;
    text.append(reinterpret_cast<const char*>(block), static_cast<size_t>(got));
  }
  return 0;
}

// Serves the bytes already read, then the rest of the source.
struct Replay {
  AVIOContext* source = nullptr;
  std::string head;
  size_t offset = 0;
};

int ReadReplay(void* opaque, uint8_t* buffer, int size) {
  Replay* replay = static_cast<Replay*>(opaque);
  if (replay->offset < replay->head.size()) {
    const size_t count = std::min(replay->head.size() - replay->offset, static_cast<size_t>(size));
    std::memcpy(buffer, replay->head.data() + replay->offset, count);
    replay->offset += count;
    return static_cast<int>(count);
  }
  const int got = avio_read_partial(replay->source, buffer, size);
  return got == 0 ? AVERROR_EOF : got;
}

std::string VideoText(const AVCodecParameters* codec) {
  std::string text = avcodec_get_name(codec->codec_id);
  if (codec->width > 0 && codec->height > 0) {
    text += Concat(" ", NumberToText(codec->width), "x", NumberToText(codec->height));
  }
  return text;
}

MediaFound Describe(const AVFormatContext* media) {
  MediaFound found;
  const std::string names = media->iformat->name;  // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  found.format = names.substr(0, names.find(','));
  int64_t streamBits = 0;
  bool everyStreamRated = true;
  int64_t variantBits = 0;  // an HLS variant's BANDWIDTH
  for (unsigned i = 0; i < media->nb_streams; ++i) {
    const AVStream* stream = media->streams[i];
    const AVCodecParameters* codec = stream->codecpar;
    const AVDictionaryEntry* variant = av_dict_get(stream->metadata, "variant_bitrate", nullptr, 0);
    if (variant != nullptr && variantBits == 0) variantBits = TextToNumber(variant->value);
    if (codec->codec_id == AV_CODEC_ID_NONE) continue;
    streamBits += codec->bit_rate;
    if (codec->bit_rate <= 0) everyStreamRated = false;
    const bool picture = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO && !picture && found.video.empty()) {
      found.video = VideoText(codec);
      found.height = codec->height;
      const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
      if (rate.num > 0 && rate.den > 0) found.fps = av_q2d(rate);
    } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO && found.audio.empty()) {
      found.audio = avcodec_get_name(codec->codec_id);
    }
  }
  // The whole rate: the container's, else the streams' when each has one, else the variant's.
  found.bitrate = media->bit_rate > 0 ? media->bit_rate : everyStreamRated ? streamBits : variantBits;
  return found;
}

// Opens the demuxer on address (reading through reader when given) and finds its streams.
ProbeOutcome ProbeMedia(const std::string& address, StreamScheme scheme, AVIOContext* reader,
                        ProbeState& state) {
  AVFormatContext* media = avformat_alloc_context();
  if (media == nullptr) return Failure(AVERROR(ENOMEM), state, scheme);
  media->interrupt_callback = AVIOInterruptCB{Interrupted, &state};
  media->pb = reader;
  AVDictionary* options = NetworkOptions(address, *state.limits);
  av_dict_set_int(&options, "probesize", kProbeBytes, 0);
  av_dict_set_int(&options, "analyzeduration", kAnalyzeMicroseconds, 0);
  int error = avformat_open_input(&media, address.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (error < 0) return Failure(error, state, scheme);  // the library freed media
  error = avformat_find_stream_info(media, nullptr);
  ProbeOutcome outcome;
  outcome.result = MediaResult(Describe(media));
  avformat_close_input(&media);
  if (outcome.result.verdict != Verdict::kLive && (error < 0 || state.timedOut)) {
    return Failure(error < 0 ? error : AVERROR_EXIT, state, scheme);
  }
  return outcome;
}

// Media behind a byte stream: the demuxer reads the sniffed head again, then the rest.
ProbeOutcome ProbeMediaAfterHead(const std::string& address, StreamScheme scheme,
                                 AVIOContext* source, const std::string& head, ProbeState& state) {
  Replay replay{source, head, 0};
  unsigned char* buffer = static_cast<unsigned char*>(av_malloc(kReplayBufferBytes));
  AVIOContext* reader = buffer == nullptr
                            ? nullptr
                            : avio_alloc_context(buffer, kReplayBufferBytes, 0, &replay, ReadReplay,
                                                 nullptr, nullptr);
  if (reader == nullptr) {
    av_free(buffer);
    return Failure(AVERROR(ENOMEM), state, scheme);
  }
  reader->seekable = 0;  // live streams cannot seek, and no seek opens a second connection
  ProbeOutcome outcome = ProbeMedia(address, scheme, reader, state);
  av_freep(&reader->buffer);
  avio_context_free(&reader);
  return outcome;
}

std::string MimeTypeOf(AVIOContext* io) {
  uint8_t* value = nullptr;
  if (av_opt_get(io, "mime_type", AV_OPT_SEARCH_CHILDREN, &value) < 0 || value == nullptr) {
    return std::string();
  }
  std::string mime(reinterpret_cast<const char*>(value));
  av_free(value);
  return mime;
}

ProbeOutcome ProbeByteStream(const std::string& address, StreamScheme scheme, ProbeState& state) {
  AVIOContext* io = nullptr;
  AVIOInterruptCB interrupt{Interrupted, &state};
  AVDictionary* options = NetworkOptions(address, *state.limits);
  int error = avio_open2(&io, address.c_str(), AVIO_FLAG_READ, &interrupt, &options);
  av_dict_free(&options);
  if (error < 0) return Failure(error, state, scheme);
  std::string head;
  error = ReadInto(io, head, kHeadBytes);
  ProbeOutcome outcome;
  if (head.empty() && error < 0) {
    outcome = Failure(error, state, scheme);
  } else {
    outcome.kind = SniffContent(head, MimeTypeOf(io), address);
    if (IsWrapper(outcome.kind)) {
      ReadInto(io, head, kWrapperBytes);
      outcome.body = head;
    } else if (outcome.kind == ContentKind::kEmpty) {
      outcome = Judgement(Verdict::kNoMedia, "empty body");
    } else if (outcome.kind == ContentKind::kHtml) {
      outcome = Judgement(Verdict::kNoMedia, "an HTML page");
    } else {
      outcome = ProbeMediaAfterHead(address, scheme, io, head, state);
    }
  }
  avio_closep(&io);
  return outcome;
}

}  // namespace

void StartMediaLibrary() {
  static std::once_flag started;
  std::call_once(started, [] {
    avformat_network_init();
    av_log_set_callback(OnLibraryLog);
  });
}

ProbeOutcome ProbeAddress(const std::string& address, StreamScheme scheme,
                          const ProbeLimits& limits) {
  ProbeState state;
  state.limits = &limits;
  t_probe = &state;
  ProbeOutcome outcome = scheme == StreamScheme::kRtsp ? ProbeMedia(address, scheme, nullptr, state)
                                                       : ProbeByteStream(address, scheme, state);
  t_probe = nullptr;
  return outcome;
}
