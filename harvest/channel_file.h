// The buffered line writer behind channels.dat, the safe replacement of a file, and the
// thin platform file layer (channel_file_posix.cpp, channel_file_win.cpp) under both.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "harvest/channel_list.h"

// Where the buffered bytes go: a temporary file, or a fake in tests. Returns false when
// the bytes could not all be written.
using ByteSink = std::function<bool(const char* bytes, size_t count)>;

// Size of the output buffer; the sink sees writes in steps of this size, not one per line.
const size_t kOutputBufferSize = 4096;

// One line of channels.dat without its CR LF: the seven fields joined by "|".
std::string ChannelLine(const ChannelRecord& record);
// Writes every line of the list with its CR LF through the output buffer into sink.
// Stops at the first failed sink write and returns false.
bool WriteChannelLines(ChannelList& list, const ByteSink& sink);

// Produces the content of a file by handing its bytes to the sink it is given.
using ContentWriter = std::function<bool(const ByteSink& sink)>;
// Writes the content into a new temporary file beside path, flushes it to disk and only
// then puts it in place of path. On any failure the temporary file is removed, path is
// left exactly as it was, and the result is false.
bool ReplaceFileContents(const std::string& path, const ContentWriter& writeContent);

// The platform file layer. A TempFile is an open, newly created file.
struct TempFile;
struct TempFileResult {
  TempFile* file = nullptr;  // null when not created
  bool nameTaken = false;    // something already exists under that name
};
// Creates path as a new file for writing that others may read; never opens, empties or
// follows anything that already exists under that name.
TempFileResult CreateTempFile(const std::string& path);
// Writes all count bytes, or returns false.
bool WriteTempFile(TempFile* file, const char* bytes, size_t count);
// Flushes the file to disk and closes it; the file is closed even when this fails.
bool CloseTempFile(TempFile* file);
// Puts the closed file at source in place of target, replacing what was there.
bool MoveTempFileOver(const std::string& source, const std::string& target);
void RemoveTempFile(const std::string& path);
