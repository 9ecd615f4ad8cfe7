// Probes one address with libavformat on a thread of its own: network time-outs and an
// interrupt callback bound every step, readers that count each byte against the check's budget
// stand between the library and the network, and only stream formats are opened.
#include "check/check_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>

#include "text/text.h"

namespace {

const int kHeadBytes = 4096;          // read before deciding what the reply is
const int kWrapperBytes = 64 * 1024;  // the most of a wrapper playlist that is read
const int kReaderBufferBytes = 32 * 1024;
const int64_t kProbeBytes = 1024 * 1024;  // for the format, the codecs, and the first packet
const int64_t kAnalyzeMicroseconds = 3 * 1000 * 1000;
const int64_t kPlaylistBytes = 256 * 1024;  // the most of one HLS playlist that is read
const char kPlaylistStart[] = "#EXTM3U";
const int kMaxStreams = 64;
// Decoders see at most this many pixels a picture (4096 x 2304); no single allocation of the
// media library exceeds kMaxAllocationBytes, whatever size a stream declares.
const int64_t kMaxDecodedPixels = 4096 * 2304;
const size_t kMaxAllocationBytes = 16 * 1024 * 1024;
const int kLogLineBytes = 1024;
// The http reader follows this many redirects in a row, then fails with a plain I/O error;
// its trace line for each reply's code tells that failure from others.
const int kMaxRedirects = 8;
const char kHttpCodeLog[] = "http_code=%d\n";
// Only TCP-based network protocols: a hostile list, wrapper or SDP must not reach local files
// or devices, nor make the check bind or send UDP. rtmpt and rtmpts tunnel through
// ffrtmphttp, rtmpe and rtmpte encrypt through ffrtmpcrypt.
const char kProtocolWhitelist[] =
    "http,https,tcp,tls,rtsp,mmsh,mmst,rtmp,rtmps,rtmpt,rtmpe,rtmpte,rtmpts,ffrtmphttp,"
    "ffrtmpcrypt,crypto,httpproxy";
const char kRtmpPrefix[] = "rtmp";    // its "timeout" option would turn on listen mode
const char kRtspTransport[] = "tcp";  // interleaved in the RTSP connection

using OpenCall = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);
using CloseCall = int (*)(AVFormatContext*, AVIOContext*);

struct ProbeState {
  ProbeLimits limits;
  bool timedOut = false;
  bool overBudget = false;
  std::string statusLine;          // the first status the library logged during this probe
  int redirectsInARow = 0;         // 3xx replies since the last other reply
  OpenCall libraryOpen = nullptr;  // the library's own opening of nested addresses (HLS)
  CloseCall libraryClose = nullptr;
};

// The probe running on this thread, for the log callback.
thread_local ProbeState* t_probe = nullptr;

int Interrupted(void* opaque) {
  ProbeState* state = static_cast<ProbeState*>(opaque);
  if (state->limits.stop.StopRequested()) return 1;
  if (CheckClock::now() < state->limits.deadline) return 0;
  state->timedOut = true;
  return 1;
}

// How many of wanted bytes the check's budget still allows; 0 marks the budget spent.
int BudgetFor(ProbeState& state, int wanted) {
  const int64_t left = state.limits.bytesLeft->load();
  if (left <= 0) state.overBudget = true;
  return static_cast<int>(std::clamp<int64_t>(left, 0, wanted));
}

void Spend(ProbeState& state, int bytes) { state.limits.bytesLeft->fetch_sub(bytes); }

// Keeps the status lines of the probe on this thread; the library's log stays off the console.
void OnLibraryLog(void* context, int level, const char* format, va_list arguments) {
  if (t_probe == nullptr) return;
  if (level == AV_LOG_TRACE && std::strcmp(format, kHttpCodeLog) == 0) {
    va_list copy;
    va_copy(copy, arguments);
    const int code = va_arg(copy, int);
    va_end(copy);
    t_probe->redirectsInARow = code >= 300 && code < 400 ? t_probe->redirectsInARow + 1 : 0;
    return;
  }
  if (level > AV_LOG_WARNING || !t_probe->statusLine.empty()) return;
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
  if (error == AVERROR(EIO) && state.redirectsInARow > kMaxRedirects) {
    outcome.result = Judged(Verdict::kError, "redirect loop");
    return outcome;
  }
  outcome.result =
      OpenFailure(error, state.statusLine, scheme == StreamScheme::kRtsp ? "RTSP" : "HTTP",
                  state.timedOut, state.limits.timeoutSeconds);
  return outcome;
}

ProbeOutcome Judgement(Verdict verdict, const std::string& detail) {
  ProbeOutcome outcome;
  outcome.result = Judged(verdict, detail);
  return outcome;
}

// Reads until text holds limit bytes, the stream ends or the budget is spent; the error code,
// or 0 at the end.
int ReadInto(AVIOContext* io, std::string& text, int limit, ProbeState& state) {
  unsigned char block[kHeadBytes];
  while (TextLength(text) < limit) {
    const int wanted = BudgetFor(state, std::min<int>(sizeof block, limit - TextLength(text)));
    if (wanted == 0) return 0;
    const int got = avio_read(io, block, wanted);
    if (got == AVERROR_EOF) return 0;
    if (got < 0) return got;
    Spend(state, got);
    text.append(reinterpret_cast<const char*>(block), static_cast<size_t>(got));
  }
  return 0;
}

// What the media library reads through: the bytes already read for sniffing, then the
// source, each byte counted against the budget; an HLS playlist ends at kPlaylistBytes.
struct Reader {
  const AVClass* avClass = nullptr;  // first: option look-ups pass through it to the source
  AVIOContext* source = nullptr;
  ProbeState* state = nullptr;
  std::string head;
  size_t offset = 0;
  int64_t served = 0;
  int64_t limit = INT64_MAX;
};

void* ReaderSource(void* object, void* previous) {
  return previous == nullptr ? static_cast<Reader*>(object)->source : nullptr;
}

const AVClass* ReaderClass() {
  static const AVClass readerClass = [] {
    AVClass c = {};
    c.class_name = "morvek reader";
    c.item_name = av_default_item_name;
    c.version = LIBAVUTIL_VERSION_INT;
    c.child_next = ReaderSource;
    return c;
  }();
  return &readerClass;
}

int ReadCounted(void* opaque, uint8_t* buffer, int size) {
  Reader* reader = static_cast<Reader*>(opaque);
  const int64_t room = reader->limit - reader->served;
  if (room <= 0) return AVERROR_EOF;
  size = static_cast<int>(std::min<int64_t>(size, room));
  int got = 0;
  if (reader->offset < reader->head.size()) {  // counted when it was read
    got =
        static_cast<int>(std::min(reader->head.size() - reader->offset, static_cast<size_t>(size)));
    std::memcpy(buffer, reader->head.data() + reader->offset, static_cast<size_t>(got));
    reader->offset += static_cast<size_t>(got);
  } else {
    const int wanted = BudgetFor(*reader->state, size);
    if (wanted == 0) return AVERROR_EOF;
    got = avio_read_partial(reader->source, buffer, wanted);
    if (got == 0) return AVERROR_EOF;
    if (got < 0) return got;
    Spend(*reader->state, got);
  }
  if (reader->served == 0 && got >= static_cast<int>(sizeof kPlaylistStart) - 1 &&
      std::memcmp(buffer, kPlaylistStart, sizeof kPlaylistStart - 1) == 0) {
    reader->limit = kPlaylistBytes;
  }
  reader->served += got;
  return got;
}

// An unseekable context that reads through reader and owns it; null when out of memory.
AVIOContext* NewReaderContext(Reader* reader) {
  reader->avClass = ReaderClass();
  unsigned char* buffer = static_cast<unsigned char*>(av_malloc(kReaderBufferBytes));
  AVIOContext* io = buffer == nullptr ? nullptr
                                      : avio_alloc_context(buffer, kReaderBufferBytes, 0, reader,
                                                           ReadCounted, nullptr, nullptr);
  if (io == nullptr) {
    av_free(buffer);
    delete reader;
    return nullptr;
  }
  io->seekable = 0;  // live streams cannot seek, and no seek opens a second connection
  return io;
}

// Frees the context and its reader; the reader's source stays open.
void FreeReaderContext(AVIOContext** io) {
  delete static_cast<Reader*>((*io)->opaque);
  av_freep(&(*io)->buffer);
  avio_context_free(io);
}

// The addresses HLS opens (playlists, segments, keys) go through a counted reader too.
int OpenNested(AVFormatContext* media, AVIOContext** io, const char* url, int flags,
               AVDictionary** options) {
  ProbeState* state = static_cast<ProbeState*>(media->opaque);
  Reader* reader = new Reader;
  reader->state = state;
  const int error = state->libraryOpen(media, &reader->source, url, flags, options);
  if (error < 0) {
    delete reader;
    return error;
  }
  AVIOContext* source = reader->source;
  *io = NewReaderContext(reader);
  if (*io != nullptr) return 0;
  state->libraryClose(media, source);
  return AVERROR(ENOMEM);
}

int CloseNested(AVFormatContext* media, AVIOContext* io) {
  ProbeState* state = static_cast<ProbeState*>(media->opaque);
  const int error = state->libraryClose(media, static_cast<Reader*>(io->opaque)->source);
  FreeReaderContext(&io);
  return error;
}

std::string FirstName(const std::string& names) { return names.substr(0, names.find(',')); }

bool IsMediaStream(const AVStream* stream) {
  const AVCodecParameters* codec = stream->codecpar;
  const bool picture = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
  return codec->codec_id != AV_CODEC_ID_NONE && !picture &&
         (codec->codec_type == AVMEDIA_TYPE_VIDEO || codec->codec_type == AVMEDIA_TYPE_AUDIO);
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
  found.format = FirstName(media->iformat->name);  // e.g. "mov" of "mov,mp4,m4a,3gp,3g2,mj2"
  int64_t streamBits = 0;
  bool everyStreamRated = true;
  int64_t variantBits = 0;  // an HLS variant's BANDWIDTH
  for (unsigned i = 0; i < media->nb_streams; ++i) {
    const AVStream* stream = media->streams[i];
    const AVCodecParameters* codec = stream->codecpar;
    const AVDictionaryEntry* variant = av_dict_get(stream->metadata, "variant_bitrate", nullptr, 0);
    if (variant != nullptr && variantBits == 0) variantBits = TextToNumber(variant->value);
    if (!IsMediaStream(stream)) continue;
    streamBits += codec->bit_rate;
    if (codec->bit_rate <= 0) everyStreamRated = false;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO && found.video.empty()) {
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

// Reads packets until one of an audio or video stream arrives, within kProbeBytes of packets.
bool MediaPacketArrives(AVFormatContext* media) {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return false;
  bool arrived = false;
  int64_t bytes = 0;
  while (!arrived && bytes < kProbeBytes && av_read_frame(media, packet) >= 0) {
    arrived = IsMediaStream(media->streams[packet->stream_index]);
    bytes += packet->size;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return arrived;
}

std::string Silence(const ProbeState& state) {
  if (state.timedOut) return Concat("within ", NumberToText(state.limits.timeoutSeconds), " s");
  if (state.overBudget) {
    return Concat("in the first ", NumberToText(static_cast<int32_t>(kCheckBudgetBytes >> 20)),
                  " MiB");
  }
  return "before the stream ended";
}

// A server that answered with a stream format, but nothing that plays came in time.
ProbeOutcome NothingInTime(const std::string& format, const ProbeState& state) {
  return Judgement(Verdict::kNoMedia,
                   Concat("no audio or video recognised in ", format, " ", Silence(state)));
}

// Codec options for the streams known before they are analysed: pictures bounded in pixels.
AVDictionary** StreamOptions(const AVFormatContext* media) {
  AVDictionary** options =
      static_cast<AVDictionary**>(av_calloc(media->nb_streams, sizeof(AVDictionary*)));
  for (unsigned i = 0; options != nullptr && i < media->nb_streams; ++i) {
    av_dict_set_int(&options[i], "max_pixels", kMaxDecodedPixels, 0);
  }
  return options;
}

void FreeStreamOptions(AVDictionary** options, unsigned count) {
  for (unsigned i = 0; options != nullptr && i < count; ++i) av_dict_free(&options[i]);
  av_free(options);
}

int FindStreams(AVFormatContext* media) {
  const unsigned count = media->nb_streams;
  AVDictionary** options = StreamOptions(media);
  const int error = avformat_find_stream_info(media, options);
  FreeStreamOptions(options, count);
  return error;
}

AVDictionary* MediaOptions(const std::string& address, StreamScheme scheme, ProbeState& state) {
  AVDictionary* options = NetworkOptions(address, state.limits);
  av_dict_set_int(&options, "probesize", kProbeBytes, 0);
  av_dict_set_int(&options, "analyzeduration", kAnalyzeMicroseconds, 0);
  av_dict_set_int(&options, "max_streams", kMaxStreams, 0);
  av_dict_set(&options, "format_whitelist", kStreamFormats, 0);
  // HLS would otherwise reuse the connection behind a counted reader, which it cannot see.
  av_dict_set_int(&options, "http_persistent", 0, 0);
  if (scheme == StreamScheme::kRtsp) av_dict_set(&options, "rtsp_transport", kRtspTransport, 0);
  return options;
}

// Opens the demuxer (of format, reading through reader, when given) on address, finds its
// streams and waits for the first packet of audio or video.
ProbeOutcome ProbeMedia(const std::string& address, StreamScheme scheme, AVIOContext* reader,
                        const AVInputFormat* format, ProbeState& state) {
  AVFormatContext* media = avformat_alloc_context();
  if (media == nullptr) return Failure(AVERROR(ENOMEM), state, scheme);
  media->interrupt_callback = AVIOInterruptCB{Interrupted, &state};
  media->pb = reader;
  media->opaque = &state;
  state.libraryOpen = media->io_open;
  state.libraryClose = media->io_close2;
  media->io_open = OpenNested;
  media->io_close2 = CloseNested;
  AVDictionary* options = MediaOptions(address, scheme, state);
  int error = avformat_open_input(&media, address.c_str(), format, &options);
  av_dict_free(&options);
  if (error < 0 && format != nullptr && state.timedOut) {  // the library freed media
    return NothingInTime(FirstName(format->name), state);
  }
  if (error < 0) return Failure(error, state, scheme);
  error = FindStreams(media);
  MediaFound found = Describe(media);
  const bool recognised = !found.video.empty() || !found.audio.empty();
  if (recognised) found.packetArrived = MediaPacketArrives(media);
  found.silence = Silence(state);
  avformat_close_input(&media);
  if (!recognised && state.timedOut) return NothingInTime(found.format, state);
  if (!recognised && error < 0) return Failure(error, state, scheme);
  ProbeOutcome outcome;
  outcome.result = MediaResult(found);
  return outcome;
}

// Media behind a byte stream: the sniffed head is read again, then the rest; only a stream
// format is opened.
ProbeOutcome ProbeMediaAfterHead(const std::string& address, StreamScheme scheme,
                                 AVIOContext* source, const std::string& head, ProbeState& state) {
  Reader* replay = new Reader;
  replay->source = source;
  replay->state = &state;
  replay->head = head;
  AVIOContext* reader = NewReaderContext(replay);
  if (reader == nullptr) return Failure(AVERROR(ENOMEM), state, scheme);
  const AVInputFormat* format = nullptr;
  const int error = av_probe_input_buffer2(reader, &format, address.c_str(), nullptr, 0,
                                           static_cast<unsigned>(kProbeBytes));
  ProbeOutcome outcome;
  if (error < 0) {
    outcome = Failure(error, state, scheme);
  } else if (!IsStreamFormat(format->name)) {
    outcome.result = NotStreamFormat(format->name, format->long_name ? format->long_name : "");
  } else {
    outcome = ProbeMedia(address, scheme, reader, format, state);
  }
  FreeReaderContext(&reader);
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
  AVDictionary* options = NetworkOptions(address, state.limits);
  int error = avio_open2(&io, address.c_str(), AVIO_FLAG_READ, &interrupt, &options);
  av_dict_free(&options);
  if (error < 0) return Failure(error, state, scheme);
  std::string head;
  error = ReadInto(io, head, kHeadBytes, state);
  ProbeOutcome outcome;
  if (head.empty() && error < 0) {
    outcome = Failure(error, state, scheme);
  } else {
    outcome.kind = SniffContent(head, MimeTypeOf(io), address);
    if (IsWrapper(outcome.kind)) {
      ReadInto(io, head, kWrapperBytes, state);
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

// One probe and its result.
struct ProbeJob {
  ProbeState state;
  ProbeOutcome outcome;
};

void RunProbe(ProbeJob& job, const std::string& address, StreamScheme scheme) {
  t_probe = &job.state;
  job.outcome = scheme == StreamScheme::kRtsp
                    ? ProbeMedia(address, scheme, nullptr, nullptr, job.state)
                    : ProbeByteStream(address, scheme, job.state);
  t_probe = nullptr;
}

}  // namespace

void StartMediaLibrary() {
  static std::once_flag started;
  std::call_once(started, [] {
    av_max_alloc(kMaxAllocationBytes);
    avformat_network_init();
    av_log_set_callback(OnLibraryLog);
  });
}

ProbeOutcome ProbeAddress(const std::string& address, StreamScheme scheme,
                          const ProbeLimits& limits) {
  ProbeJob job;
  job.state.limits = limits;
  RunProbe(job, address, scheme);
  return job.outcome;
}
