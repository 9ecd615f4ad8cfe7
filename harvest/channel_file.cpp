// channels.dat: one CR LF line of seven "|"-joined fields per record, written through a
// 4096-byte buffer into a temporary file that replaces the old file only when complete.
#include "harvest/channel_file.h"

#include <cstring>

#include "text/text.h"

namespace {

const char kFieldSeparator[] = "|";
const char kLineEnd[] = "\r\n";
const char kTempSuffix[] = ".tmp";
// Further names tried when a stray temporary file is in the way: ".tmp1" to ".tmp9".
const int kTempNameTries = 10;

// Collects pieces so that the sink sees few large writes. A piece shorter than the free
// space is appended, so the buffer never fills completely; any other piece first empties
// the buffer into the sink, then goes to the sink itself when it is at least a whole buffer
// long, or starts the emptied buffer otherwise.
struct OutputBuffer {
  const ByteSink& sink;
  char bytes[kOutputBufferSize];
  size_t used = 0;
  bool failed = false;
};

void Drain(OutputBuffer& out) {
  if (out.used > 0 && !out.failed) out.failed = !out.sink(out.bytes, out.used);
  out.used = 0;
}

void Put(OutputBuffer& out, const char* piece, size_t size) {
  if (out.failed) return;
  if (size < kOutputBufferSize - out.used) {
    std::memcpy(out.bytes + out.used, piece, size);
    out.used += size;
    return;
  }
  Drain(out);
  if (out.failed) return;
  if (size >= kOutputBufferSize) {
    out.failed = !out.sink(piece, size);
    return;
  }
  std::memcpy(out.bytes, piece, size);
  out.used = size;
}

std::string TempName(const std::string& path, int attempt) {
  if (attempt == 0) return Concat(path, kTempSuffix);
  return Concat(path, kTempSuffix, NumberToText(attempt));
}

// Writes the line of r, without its line end, into line in place of what it held.
void FormatChannelLine(std::string& line, const ChannelRecord& r) {
  line.clear();
  for (const std::string* field : {&r.country, &r.channel, &r.bitrate, &r.category, &r.about,
                                   &r.streamUrl, &r.homepage}) {
    if (field != &r.country) line.append(kFieldSeparator);
    line.append(*field);
  }
}

}  // namespace

std::string ChannelLine(const ChannelRecord& r) {
  std::string line;
  FormatChannelLine(line, r);
  return line;
}

bool WriteChannelLines(ChannelList& list, const ByteSink& sink) {
  OutputBuffer out{sink, {}, 0, false};
  std::string line;  // one line's bytes; keeps its capacity from record to record
  Rewind(list);
  for (const ChannelRecord* record = NextRecord(list); record != nullptr;
       record = NextRecord(list)) {
    FormatChannelLine(line, *record);
    Put(out, line.data(), line.size());
    Put(out, kLineEnd, sizeof kLineEnd - 1);
    if (out.failed) return false;
  }
  Drain(out);
  return !out.failed;
}

bool ReplaceFileContents(const std::string& path, const ContentWriter& writeContent) {
  TempFileResult created;
  std::string tempPath;
  for (int attempt = 0; attempt < kTempNameTries && created.file == nullptr; ++attempt) {
    tempPath = TempName(path, attempt);
    created = CreateTempFile(tempPath);
    if (created.file == nullptr && !created.nameTaken) return false;
  }
  if (created.file == nullptr) return false;

  TempFile* file = created.file;
  const bool written = writeContent(
      [file](const char* bytes, size_t count) { return WriteTempFile(file, bytes, count); });
  const bool closed = CloseTempFile(file);
  if (written && closed && MoveTempFileOver(tempPath, path)) return true;
  RemoveTempFile(tempPath);
  return false;
}

bool WriteChannelFile(ChannelList& list, const std::string& path) {
  return ReplaceFileContents(
      path, [&list](const ByteSink& sink) { return WriteChannelLines(list, sink); });
}
