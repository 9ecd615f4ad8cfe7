// SPDX-License-Identifier: GPL-2.0-or-later
// Probes one address with libavformat on a thread of its own: network time-outs and an
// interrupt callback bound every step, readers that count each byte against the check's budget
// stand between the library and the network, only stream formats are opened, and a stream is
// live once libavcodec decodes a frame of its audio or video.
#include "check/check_probe.h"

#include "check/check_picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "text/text.h"

namespace {

const int kHeadBytes = 4096;          // read before deciding what the reply is
const int kWrapperBytes = 64 * 1024;  // the most of a wrapper playlist that is read
const int kReaderBufferBytes = 32 * 1024;
const int64_t kProbeBytes = 1024 * 1024;  // for the format and the codecs
const int64_t kAnalyzeMicroseconds = 3 * 1000 * 1000;
const int64_t kPlaylistBytes = 256 * 1024;  // the most of one HLS playlist that is read
const char kPlaylistStart[] = "#EXTM3U";
const int kMaxStreams = 64;
// Packets read to decode a first frame (a live video may need its first keyframe), and then,
// when neither the container nor the streams declare a rate, to measure it over a second of
// timestamps, for at most kRateTime.
const int64_t kFirstFrameBytes = 2 * 1024 * 1024;
const int64_t kRateBytes = 1024 * 1024;
const auto kRateTime = std::chrono::milliseconds(1500);
// Packets read on for a picture when the first frame decoded was a sound.
const int64_t kPictureBytes = 1024 * 1024;
const int kDecoderThreads = 1;
// Decoders see at most this many pixels a picture (4096 x 2304); no single allocation of the
// media library exceeds kMaxAllocationBytes, whatever size a stream declares.
const int64_t kMaxDecodedPixels = 4096 * 2304;
const size_t kMaxAllocationBytes = 16 * 1024 * 1024;
const int kLogLineBytes = 1024;
// The http reader follows this many redirects in a row, then fails with a plain I/O error;
// its trace line for each reply's code tells that failure from others, and counts requests.
const int kMaxRedirects = 8;
const char kHttpCodeLog[] = "http_code=%d\n";
const char kHttpHeaderLog[] = "header='%s'\n";
const char kLocationHeader[] = "location:";
const char kLocationOption[] = "location";
const char kMimeTypeOption[] = "mime_type";
// The formats whose readers seek, as players do, when the server takes ranges: MP4's index may
// lie at the end of the file, and an MP3's tags may be larger than the check's budget.
const char* const kSeekingFormats[] = {"mov", "mp3"};
// A seek this near is read through, its bytes counted; one reader seeks at most kMaxSeeks times.
const int kShortSeekBytes = 64 * 1024;
const int kMaxSeeks = 32;
// Only TCP-based network protocols: a hostile list, wrapper or SDP must not reach local files
// or devices, nor make the check bind or send UDP. rtmpt and rtmpts tunnel through
// ffrtmphttp, rtmpe and rtmpte encrypt through ffrtmpcrypt.
const char kProtocolWhitelist[] =
    "http,https,tcp,tls,rtsp,mmsh,mmst,rtmp,rtmps,rtmpt,rtmpe,rtmpte,rtmpts,ffrtmphttp,"
    "ffrtmpcrypt,crypto,httpproxy";
const char kRtmpPrefix[] = "rtmp";    // its "timeout" option would turn on listen mode
const char kRtspTransport[] = "tcp";  // interleaved in the RTSP connection
const char kHttpStatusStart[] = "HTTP";

using OpenCall = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);
using CloseCall = int (*)(AVFormatContext*, AVIOContext*);

struct ProbeState {
  ProbeLimits limits;
  bool timedOut = false;
  bool overBudget = false;
  bool overRequests = false;  // the check's requests are spent
  bool probeFull = false;     // the format was sought in all of kProbeBytes
  bool packetsFull = false;   // kFirstFrameBytes of packets gave no frame
  // Reading past what the verdict needs (a rate measured) ends here, with no verdict of its own.
  CheckClock::time_point readUntil = CheckClock::time_point::max();
  std::string statusLine;          // the first status the library logged during this probe
  std::string nestedStatus;        // the HTTP status a playlist, segment or key answered with
  int redirectsInARow = 0;         // 3xx replies since the last other reply
  std::string location;            // the last Location header
  OpenCall libraryOpen = nullptr;  // the library's own opening of nested addresses (HLS)
  CloseCall libraryClose = nullptr;
};

// The probe running on this thread, for the log callback.
thread_local ProbeState* t_probe = nullptr;

int Interrupted(void* opaque) {
  ProbeState* state = static_cast<ProbeState*>(opaque);
  if (state->limits.stop.StopRequested() || state->overRequests) return 1;
  const CheckClock::time_point now = CheckClock::now();
  if (now >= state->limits.deadline) {
    state->timedOut = true;
    return 1;
  }
  return now >= state->readUntil ? 1 : 0;
}

bool TimeIsUp(ProbeState& state) {
  if (CheckClock::now() >= state.limits.deadline) state.timedOut = true;
  return state.timedOut;
}

// How many of wanted bytes the check's budget still allows; 0 marks the budget spent.
int BudgetFor(ProbeState& state, int wanted) {
  const int64_t left = state.limits.bytesLeft->load();
  if (left <= 0) state.overBudget = true;
  return static_cast<int>(std::clamp<int64_t>(left, 0, wanted));
}

void Spend(ProbeState& state, int bytes) { state.limits.bytesLeft->fetch_sub(bytes); }

// The first argument of a trace line, which the library logs with format.
template <typename T>
T FirstArgument(va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  const T value = va_arg(copy, T);
  va_end(copy);
  return value;
}

// Counts the replies of the check (a request each) and redirects in a row, and keeps the last
// Location header.
void OnHttpTrace(ProbeState& state, const char* format, va_list arguments) {
  if (std::strcmp(format, kHttpCodeLog) == 0) {
    const int code = FirstArgument<int>(arguments);
    state.redirectsInARow = code >= 300 && code < 400 ? state.redirectsInARow + 1 : 0;
    if (state.limits.requestsLeft->fetch_sub(1) <= 0) state.overRequests = true;
  } else if (std::strcmp(format, kHttpHeaderLog) == 0) {
    const std::string header = FirstArgument<const char*>(arguments);
    if (StartsWith(ToLowerCase(LeftPart(header, sizeof kLocationHeader - 1)), kLocationHeader)) {
      state.location = TrimSpaces(header.substr(sizeof kLocationHeader - 1));
    }
  }
}

// Keeps the status lines of the probe on this thread; the library's log stays off the console.
void OnLibraryLog(void* context, int level, const char* format, va_list arguments) {
  if (t_probe == nullptr) return;
  if (level == AV_LOG_TRACE) {
    OnHttpTrace(*t_probe, format, arguments);
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
  // A seek further than this asks for a range rather than reading what lies between.
  av_dict_set_int(&options, "short_seek_size", kShortSeekBytes, 0);
  SetRequestOptions(limits.request, &options);
  if (!StartsWith(ToLowerCase(address), kRtmpPrefix)) {
    av_dict_set_int(&options, "timeout", microseconds, 0);
  }
  return options;
}

ProbeOutcome Judgement(Verdict verdict, const std::string& detail) {
  ProbeOutcome outcome;
  outcome.result = Judged(verdict, detail);
  return outcome;
}

std::string RequestsText() { return Concat(NumberToText(kCheckMaxRequests), " requests"); }

// A failure before the server sent any bytes of a reply.
ProbeOutcome Failure(int error, ProbeState& state, StreamScheme scheme) {
  if (state.overRequests) {
    return Judgement(Verdict::kNoMedia, Concat("nothing played within ", RequestsText()));
  }
  if (error == AVERROR(EIO) && state.redirectsInARow > kMaxRedirects) {
    return Judgement(Verdict::kError, "redirect loop");
  }
  const std::string foreign = ForeignRedirectScheme(state.location);
  if (state.redirectsInARow > 0 && !foreign.empty()) {
    return Judgement(Verdict::kUnsupported, Concat("redirect to ", foreign, ":"));
  }
  ProbeOutcome outcome;
  outcome.result =
      OpenFailure(error, state.statusLine, scheme == StreamScheme::kRtsp ? "RTSP" : "HTTP",
                  TimeIsUp(state), state.limits.timeoutSeconds);
  return outcome;
}

std::string Silence(const ProbeState& state) {
  if (state.timedOut) return Concat("within ", NumberToText(state.limits.timeoutSeconds), " s");
  if (state.overRequests) return Concat("within ", RequestsText());
  const int64_t budget = state.overBudget    ? kCheckBudgetBytes
                         : state.packetsFull ? kFirstFrameBytes
                         : state.probeFull   ? kProbeBytes
                                             : 0;
  if (budget > 0) {
    return Concat("in the first ", NumberToText(static_cast<int32_t>(budget >> 20)), " MiB");
  }
  return "before the stream ended";
}

// A server that sent bytes, but nothing that plays came of them: what it sent, never
// unreachable. format is "" when no stream format was recognised.
ProbeOutcome NothingPlays(const std::string& format, ProbeState& state) {
  if (!TimeIsUp(state) && !state.nestedStatus.empty()) {
    return Judgement(Verdict::kError, Concat("segments answer ", state.nestedStatus));
  }
  const std::string what = format.empty() ? std::string("no stream format recognised")
                                          : Concat("no audio or video recognised in ", format);
  return Judgement(Verdict::kNoMedia, Concat(what, " ", Silence(state)));
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

// What the media library reads through: the source's first bytes kept from earlier reads
// (the sniffed head, and what a first try at a format read), then the source, each byte
// counted against the budget; an HLS playlist ends at kPlaylistBytes. It seeks only when
// seekable is set.
struct Reader {
  const AVClass* avClass = nullptr;  // first: option look-ups pass through it to the source
  AVIOContext* source = nullptr;
  ProbeState* state = nullptr;
  std::string kept;            // the source's first bytes
  size_t keepLimit = 0;        // how many first bytes are kept for a second try
  int64_t position = 0;        // of the next byte served
  int64_t sourcePosition = 0;  // of the source's next byte
  int64_t limit = INT64_MAX;
  bool seekable = false;
  int seeks = 0;  // of the source
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

// Reads from the source at the reader's position, keeping the first bytes.
int ReadSource(Reader& reader, uint8_t* buffer, int size) {
  if (reader.sourcePosition != reader.position) {
    const int64_t ahead = reader.position - reader.sourcePosition;
    if (++reader.seeks > kMaxSeeks) return AVERROR(EIO);
    if (ahead > 0 && ahead <= kShortSeekBytes &&
        BudgetFor(*reader.state, static_cast<int>(ahead)) < ahead) {
      return AVERROR_EOF;
    }
    const int64_t at = avio_seek(reader.source, reader.position, SEEK_SET);
    if (at < 0) return static_cast<int>(at);
    if (ahead > 0 && ahead <= kShortSeekBytes) Spend(*reader.state, static_cast<int>(ahead));
    reader.sourcePosition = at;
  }
  const int wanted = BudgetFor(*reader.state, size);
  if (wanted == 0) return AVERROR_EOF;
  const int got = avio_read_partial(reader.source, buffer, wanted);
  if (got == 0) return AVERROR_EOF;
  if (got < 0) return got;
  Spend(*reader.state, got);
  reader.sourcePosition += got;
  if (reader.position == TextLength(reader.kept) && reader.kept.size() < reader.keepLimit) {
    reader.kept.append(reinterpret_cast<const char*>(buffer),
                       std::min(static_cast<size_t>(got), reader.keepLimit - reader.kept.size()));
  }
  return got;
}

int ReadCounted(void* opaque, uint8_t* buffer, int size) {
  Reader* reader = static_cast<Reader*>(opaque);
  const int64_t room = reader->limit - reader->position;
  if (room <= 0) return AVERROR_EOF;
  size = static_cast<int>(std::min<int64_t>(size, room));
  int got = 0;
  if (reader->position < TextLength(reader->kept)) {  // counted when it was read
    got = static_cast<int>(std::min<int64_t>(TextLength(reader->kept) - reader->position, size));
    std::memcpy(buffer, reader->kept.data() + reader->position, static_cast<size_t>(got));
  } else {
    got = ReadSource(*reader, buffer, size);
    if (got < 0) return got;
  }
  if (reader->position == 0 && got >= static_cast<int>(sizeof kPlaylistStart) - 1 &&
      std::memcmp(buffer, kPlaylistStart, sizeof kPlaylistStart - 1) == 0) {
    reader->limit = kPlaylistBytes;
  }
  reader->position += got;
  return got;
}

int64_t SeekCounted(void* opaque, int64_t offset, int whence) {
  Reader* reader = static_cast<Reader*>(opaque);
  const int64_t size = reader->seekable ? avio_size(reader->source) : AVERROR(ENOSYS);
  if ((whence & AVSEEK_SIZE) != 0) return size;
  whence &= ~AVSEEK_FORCE;
  int64_t target = offset;
  if (whence == SEEK_CUR) target += reader->position;
  if (whence == SEEK_END) target = size < 0 ? -1 : size + offset;
  if (target < 0 || (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)) {
    return AVERROR(EINVAL);
  }
  if (!reader->seekable) return AVERROR(ESPIPE);
  reader->position = target;
  return target;
}

// A context that reads through reader; null when out of memory. The reader stays the caller's.
AVIOContext* NewReaderContext(Reader* reader) {
  reader->avClass = ReaderClass();
  unsigned char* buffer = static_cast<unsigned char*>(av_malloc(kReaderBufferBytes));
  AVIOContext* io = buffer == nullptr ? nullptr
                                      : avio_alloc_context(buffer, kReaderBufferBytes, 0, reader,
                                                           ReadCounted, nullptr, SeekCounted);
  if (io == nullptr) {
    av_free(buffer);
    return nullptr;
  }
  io->seekable = 0;  // live streams cannot seek, and no seek opens a second connection
  return io;
}

// Frees the context; its reader and the reader's source stay.
void FreeReaderContext(AVIOContext** io) {
  if (*io == nullptr) return;
  av_freep(&(*io)->buffer);
  avio_context_free(io);
}

// The addresses HLS opens (playlists, segments, keys) go through a counted reader too; the
// first HTTP status one of them answers with is kept for the verdict.
int OpenNested(AVFormatContext* media, AVIOContext** io, const char* url, int flags,
               AVDictionary** options) {
  ProbeState* state = static_cast<ProbeState*>(media->opaque);
  auto reader = std::make_unique<Reader>();
  reader->state = state;
  const int error = state->libraryOpen(media, &reader->source, url, flags, options);
  if (error < 0) {
    if (state->nestedStatus.empty() && StartsWith(state->statusLine, kHttpStatusStart)) {
      state->nestedStatus = state->statusLine;
    }
    return error;
  }
  *io = NewReaderContext(reader.get());
  if (*io != nullptr) {
    reader.release();  // CloseNested frees it
    return 0;
  }
  state->libraryClose(media, reader->source);
  return AVERROR(ENOMEM);
}

int CloseNested(AVFormatContext* media, AVIOContext* io) {
  ProbeState* state = static_cast<ProbeState*>(media->opaque);
  std::unique_ptr<Reader> reader(static_cast<Reader*>(io->opaque));
  const int error = state->libraryClose(media, reader->source);
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
      found.width = codec->width;
      found.height = codec->height;
      const AVRational rate =
          stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
      if (rate.num > 0 && rate.den > 0) found.fps = av_q2d(rate);
    } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO && found.audio.empty()) {
      found.audio = avcodec_get_name(codec->codec_id);
    }
  }
  // The whole rate: the streams' when each declares one (a container's rate may be a file's size
  // over its duration, tags and all), else the container's, else the variant's.
  found.bitrate = everyStreamRated && streamBits > 0 ? streamBits
                  : media->bit_rate > 0              ? media->bit_rate
                                                     : variantBits;
  return found;
}

// A decoder for each audio and video stream that has one, bounded in pixels and threads. A
// codec this build of the library has no decoder for is judged by its packets arriving.
class Decoders {
 public:
  explicit Decoders(const AVFormatContext* media)
      : decoders_(media->nb_streams, nullptr), undecodable_(media->nb_streams, false) {
    for (unsigned i = 0; i < media->nb_streams; ++i) {
      if (!IsMediaStream(media->streams[i])) continue;
      undecodable_[i] = avcodec_find_decoder(media->streams[i]->codecpar->codec_id) == nullptr;
      if (!undecodable_[i]) decoders_[i] = Open(media->streams[i]);
    }
  }
  ~Decoders() {
    for (AVCodecContext*& decoder : decoders_) avcodec_free_context(&decoder);
  }
  Decoders(const Decoders&) = delete;
  Decoders& operator=(const Decoders&) = delete;

  AVCodecContext* Of(int streamIndex) const {
    return streamIndex >= 0 && static_cast<size_t>(streamIndex) < decoders_.size()
               ? decoders_[streamIndex]
               : nullptr;
  }
  const std::vector<AVCodecContext*>& All() const { return decoders_; }
  bool Undecodable(int streamIndex) const {
    return streamIndex >= 0 && static_cast<size_t>(streamIndex) < undecodable_.size() &&
           undecodable_[streamIndex];
  }

 private:
  static AVCodecContext* Open(const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext* decoder = codec == nullptr ? nullptr : avcodec_alloc_context3(codec);
    if (decoder == nullptr) return nullptr;
    decoder->pkt_timebase = stream->time_base;
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "max_pixels", kMaxDecodedPixels, 0);
    av_dict_set_int(&options, "threads", kDecoderThreads, 0);
    const bool opened = avcodec_parameters_to_context(decoder, stream->codecpar) >= 0 &&
                        avcodec_open2(decoder, codec, &options) >= 0;
    av_dict_free(&options);
    if (!opened) avcodec_free_context(&decoder);
    return decoder;
  }

  std::vector<AVCodecContext*> decoders_;
  std::vector<bool> undecodable_;
};

// The packets of audio and video read: their count, bytes and the span of their timestamps.
struct PacketSpan {
  int64_t packets = 0;
  int64_t bytes = 0;
  double first = 0;
  double last = 0;

  void Add(const AVStream* stream, const AVPacket* packet) {
    const int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (stamp != AV_NOPTS_VALUE) {
      const double seconds = static_cast<double>(stamp) * av_q2d(stream->time_base);
      first = bytes == 0 ? seconds : std::min(first, seconds);
      last = bytes == 0 ? seconds : std::max(last, seconds);
    }
    bytes += packet->size;
    ++packets;
  }
  double Seconds() const { return last - first; }
};

// Sends packet (null: the stream's end) to decoder; true when a frame came out into frame.
bool FrameComesOut(AVCodecContext* decoder, const AVPacket* packet, AVFrame* frame) {
  avcodec_send_packet(decoder, packet);  // a damaged packet is a packet without a frame
  return avcodec_receive_frame(decoder, frame) >= 0;
}

// True when a video stream's picture size is still unknown: as for players, only a decoded
// picture shows that it plays.
bool NeedsPicture(const AVFormatContext* media) {
  for (unsigned i = 0; i < media->nb_streams; ++i) {
    const AVCodecParameters* codec = media->streams[i]->codecpar;
    if (IsMediaStream(media->streams[i]) && codec->codec_type == AVMEDIA_TYPE_VIDEO &&
        (codec->width <= 0 || codec->height <= 0)) {
      return true;
    }
  }
  return false;
}

// Reads packets and decodes them until a frame of audio or video (a picture when one is
// needed) comes out into frame, within kFirstFrameBytes of packets and the deadline (checked
// here too: packets buffered while the streams were analysed come without a read). At the end
// of what could be read, the decoders give up the frames they hold back.
bool DecodeFirstFrame(AVFormatContext* media, const Decoders& decoders, PacketSpan& span,
                      AVFrame* frame, ProbeState& state) {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return false;
  const bool needsPicture = NeedsPicture(media);
  auto counts = [needsPicture](const AVCodecContext* decoder) {
    return !needsPicture || decoder->codec_type == AVMEDIA_TYPE_VIDEO;
  };
  bool decoded = false;
  while (!decoded && span.bytes < kFirstFrameBytes && Interrupted(&state) == 0 &&
         av_read_frame(media, packet) >= 0) {
    AVCodecContext* decoder = decoders.Of(packet->stream_index);
    if (decoder != nullptr) {
      span.Add(media->streams[packet->stream_index], packet);
      decoded = FrameComesOut(decoder, packet, frame) && counts(decoder);
    } else if (decoders.Undecodable(packet->stream_index)) {
      span.Add(media->streams[packet->stream_index], packet);
      decoded = !needsPicture;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  for (AVCodecContext* decoder : decoders.All()) {
    if (!decoded && decoder != nullptr)
      decoded = FrameComesOut(decoder, nullptr, frame) && counts(decoder);
  }
  return decoded;
}

// Reads on until the packets span a second of timestamps, within kRateBytes more and
// kRateTime; the bits a second they carry, or 0.
int64_t MeasureRate(AVFormatContext* media, const Decoders& decoders, PacketSpan& span,
                    ProbeState& state) {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return 0;
  const int64_t most = span.bytes + kRateBytes;
  state.readUntil = CheckClock::now() + kRateTime;
  while (MeasuredBitrate(span.bytes, span.Seconds()) == 0 && span.bytes < most &&
         av_read_frame(media, packet) >= 0) {
    if (decoders.Of(packet->stream_index) != nullptr ||
        decoders.Undecodable(packet->stream_index)) {
      span.Add(media->streams[packet->stream_index], packet);
    }
    av_packet_unref(packet);
  }
  state.readUntil = CheckClock::time_point::max();
  av_packet_free(&packet);
  return MeasuredBitrate(span.bytes, span.Seconds());
}

bool HasVideo(const Decoders& decoders) {
  for (const AVCodecContext* decoder : decoders.All()) {
    if (decoder != nullptr && decoder->codec_type == AVMEDIA_TYPE_VIDEO) return true;
  }
  return false;
}

// Reads on for a picture when the first frame was a sound, within kPictureBytes more of
// packets and the deadline; true when one came out into frame.
bool DecodePicture(AVFormatContext* media, const Decoders& decoders, PacketSpan& span,
                   AVFrame* frame, ProbeState& state) {
  if (frame->width > 0) return true;
  if (!HasVideo(decoders)) return false;
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return false;
  const int64_t most = span.bytes + kPictureBytes;
  bool decoded = false;
  while (!decoded && span.bytes < most && Interrupted(&state) == 0 &&
         av_read_frame(media, packet) >= 0) {
    AVCodecContext* decoder = decoders.Of(packet->stream_index);
    if (decoder != nullptr) span.Add(media->streams[packet->stream_index], packet);
    if (decoder != nullptr && decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
      decoded = FrameComesOut(decoder, packet, frame) && frame->width > 0;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return decoded;
}

// Decodes a first frame of the streams found and, when no rate is declared, measures it. The
// picture of the video when one is asked for.
Picture ReadFrames(AVFormatContext* media, MediaFound& found, ProbeState& state) {
  const Decoders decoders(media);
  AVFrame* frame = av_frame_alloc();
  if (frame == nullptr) return Picture();
  PacketSpan span;
  found.frameDecoded = DecodeFirstFrame(media, decoders, span, frame, state);
  found.packets = span.packets;
  state.packetsFull = !found.frameDecoded && span.bytes >= kFirstFrameBytes;
  Picture picture;
  if (found.frameDecoded && state.limits.picture &&
      DecodePicture(media, decoders, span, frame, state)) {
    picture = PictureOfFrame(*frame);
  }
  av_frame_free(&frame);
  if (found.frameDecoded && found.bitrate == 0) {
    found.bitrate = MeasureRate(media, decoders, span, state);
  }
  return picture;
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
// streams and decodes a first frame. A reader means the server has sent bytes already.
ProbeOutcome ProbeMedia(const std::string& address, StreamScheme scheme, AVIOContext* reader,
                        const AVInputFormat* format, ProbeState& state) {
  const bool answered = reader != nullptr;
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
  if (error < 0 && answered) {  // the library freed media
    return NothingPlays(format != nullptr ? FirstName(format->name) : std::string(), state);
  }
  if (error < 0) return Failure(error, state, scheme);
  error = FindStreams(media);
  MediaFound found = Describe(media);
  const bool recognised = !found.video.empty() || !found.audio.empty();
  Picture picture;
  if (recognised) picture = ReadFrames(media, found, state);
  found.silence = Silence(state);
  avformat_close_input(&media);
  if (!recognised && answered) return NothingPlays(found.format, state);
  if (!recognised && state.timedOut) {
    return Judgement(Verdict::kNoMedia,
                     Concat("no audio or video recognised in ", found.format, " ", Silence(state)));
  }
  if (!recognised && error < 0) return Failure(error, state, scheme);
  ProbeOutcome outcome;
  outcome.result = MediaResult(found);
  if (outcome.result.verdict == Verdict::kLive) outcome.result.picture = std::move(picture);
  return outcome;
}

bool IsSeekingFormat(const AVInputFormat* format) {
  for (const char* name : kSeekingFormats) {
    if (TextEquals(FirstName(format->name), name)) return true;
  }
  return false;
}

// Opens format on a new context over reader from its first byte; a format whose index may lie
// at the end seeks when the source can.
ProbeOutcome ProbeFormat(const std::string& address, StreamScheme scheme, Reader& reader,
                         const AVInputFormat* format, ProbeState& state) {
  reader.position = 0;
  reader.limit = INT64_MAX;
  reader.seekable =
      IsSeekingFormat(format) && (reader.source->seekable & AVIO_SEEKABLE_NORMAL) != 0;
  AVIOContext* io = NewReaderContext(&reader);
  if (io == nullptr) return Failure(AVERROR(ENOMEM), state, scheme);
  if (reader.seekable) io->seekable = AVIO_SEEKABLE_NORMAL;
  ProbeOutcome outcome = ProbeMedia(address, scheme, io, format, state);
  FreeReaderContext(&io);
  return outcome;
}

// Looks for a stream format in the reader's first kProbeBytes; null when none.
const AVInputFormat* SeekFormat(const std::string& address, Reader& reader, ProbeState& state,
                                int* error) {
  reader.position = 0;
  reader.limit = INT64_MAX;
  reader.seekable = false;
  AVIOContext* io = NewReaderContext(&reader);
  if (io == nullptr) {
    *error = AVERROR(ENOMEM);
    return nullptr;
  }
  const AVInputFormat* format = nullptr;
  *error = av_probe_input_buffer2(io, &format, address.c_str(), nullptr, 0,
                                  static_cast<unsigned>(kProbeBytes));
  state.probeFull = reader.position >= kProbeBytes;
  FreeReaderContext(&io);
  return *error < 0 ? nullptr : format;
}

// Media behind a byte stream, whose head was read: the format its media type names is opened
// first; when that plays nothing, and everything it read was kept, the format is sought in the
// bytes as they come. Only a stream format is opened.
ProbeOutcome ProbeMediaAfterHead(const std::string& address, StreamScheme scheme,
                                 AVIOContext* source, const std::string& head,
                                 const std::string& mimeType, ProbeState& state) {
  Reader reader;
  reader.source = source;
  reader.state = &state;
  reader.kept = head;
  reader.keepLimit = static_cast<size_t>(kProbeBytes);
  reader.sourcePosition = TextLength(head);
  const std::string named = FormatOfMimeType(mimeType);
  const AVInputFormat* namedFormat = named.empty() ? nullptr : av_find_input_format(named.c_str());
  if (namedFormat != nullptr) {
    ProbeOutcome outcome = ProbeFormat(address, scheme, reader, namedFormat, state);
    const bool allKept = reader.sourcePosition <= TextLength(reader.kept);
    if (outcome.result.verdict == Verdict::kLive || !allKept || TimeIsUp(state) ||
        state.overBudget || state.overRequests || state.limits.stop.StopRequested()) {
      return outcome;
    }
  }
  int error = 0;
  const AVInputFormat* format = SeekFormat(address, reader, state, &error);
  if (format == nullptr && error == AVERROR_EXIT && state.limits.stop.StopRequested()) {
    return Failure(error, state, scheme);
  }
  if (format == nullptr) return NothingPlays("", state);
  if (!IsStreamFormat(format->name)) {
    ProbeOutcome outcome;
    outcome.result = NotStreamFormat(format->name, format->long_name ? format->long_name : "");
    return outcome;
  }
  return ProbeFormat(address, scheme, reader, format, state);
}

std::string OptionOf(AVIOContext* io, const char* name) {
  uint8_t* value = nullptr;
  if (av_opt_get(io, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || value == nullptr) {
    return std::string();
  }
  std::string text(reinterpret_cast<const char*>(value));
  av_free(value);
  return text;
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
  // Relative addresses in the reply count from where it came from, after redirects.
  const std::string location = OptionOf(io, kLocationOption);
  const std::string from = location.empty() ? address : location;
  const std::string mimeType = OptionOf(io, kMimeTypeOption);
  ProbeOutcome outcome;
  if (head.empty() && error < 0) {
    outcome = Failure(error, state, scheme);
  } else {
    outcome.kind = SniffContent(head, mimeType, from);
    if (IsWrapper(outcome.kind)) {
      ReadInto(io, head, kWrapperBytes, state);
      outcome.body = head;
      outcome.address = from;
    } else if (outcome.kind == ContentKind::kEmpty) {
      outcome = Judgement(Verdict::kNoMedia, "empty body");
    } else if (outcome.kind == ContentKind::kHtml) {
      outcome = Judgement(Verdict::kNoMedia, "an HTML page");
    } else {
      outcome = ProbeMediaAfterHead(from, scheme, io, head, mimeType, state);
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
  if (job.state.limits.requestsLeft->load() <= 0) {
    job.outcome = Judgement(Verdict::kNoMedia, Concat("nothing played within ", RequestsText()));
  } else if (scheme == StreamScheme::kRtsp) {
    job.outcome = ProbeMedia(address, scheme, nullptr, nullptr, job.state);
  } else {
    job.outcome = ProbeByteStream(address, scheme, job.state);
  }
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
