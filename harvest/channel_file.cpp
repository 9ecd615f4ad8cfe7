// SPDX-License-Identifier: GPL-2.0-or-later
// channels.dat: one CR LF line of seven "|"-joined fields per record, written through a
// 4096-byte buffer into a temporary file that replaces the old file only when complete.
#include "harvest/channel_file.h"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "text/text.h"

namespace {

const char kFieldSeparator[] = "|";
// A "|" inside a field would split it in two: an address carries it escaped, which every web
// and stream client reads as the same address, a text as the Windows-1252 broken bar.
const char kSeparatorInAddress[] = "%7C";
const char kSeparatorInText = '\xA6';
const char kLineEnd[] = "\r\n";

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

}  // namespace

// Replaces each "|" of an address field by its escape; most fields hold none.
static void EscapeSeparators(std::string& address) {
  size_t at = address.find(kFieldSeparator[0]);
  if (at == std::string::npos) return;
  std::string escaped = address.substr(0, at);
  for (; at < address.size(); ++at) {
    if (address[at] == kFieldSeparator[0]) {
      escaped += kSeparatorInAddress;
    } else {
      escaped += address[at];
    }
  }
  address.swap(escaped);
}

void KeepSeparatorsOut(ChannelRecord& r) {
  std::string* const texts[] = {&r.country, &r.channel, &r.bitrate, &r.category, &r.about};
  for (std::string* text : texts) {
    for (char& c : *text) {
      if (c == kFieldSeparator[0]) c = kSeparatorInText;
    }
  }
  EscapeSeparators(r.streamUrl);
  EscapeSeparators(r.homepage);
}

void FormatChannelLine(std::string& line, const ChannelRecord& r) {
  const std::string* const fields[] = {&r.country, &r.channel,   &r.bitrate, &r.category,
                                       &r.about,   &r.streamUrl, &r.homepage};
  // Sized once and filled with plain copies: a line is written and compared for every record.
  size_t size = std::size(fields) - 1;
  for (const std::string* field : fields) size += field->size();
  line.resize(size);
  char* out = &line[0];
  for (const std::string* field : fields) {
    if (field != fields[0]) *out++ = kFieldSeparator[0];
    std::memcpy(out, field->data(), field->size());
    out += field->size();
  }
}

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

ReplaceOutcome WriteChannelFile(ChannelList& list, const std::string& path) {
  return ReplaceFile(
      path, [&list](const ByteSink& sink) { return WriteChannelLines(list, sink); });
}
