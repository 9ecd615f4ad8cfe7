// SPDX-License-Identifier: GPL-2.0-or-later
// The safe replacement of a file and the thin platform file layer under it
// (file_replace_posix.cpp, file_replace_win.cpp): temporary files, bounded input reading and
// the stop signals held back while a file is replaced.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Where the buffered bytes go: a temporary file, or a fake in tests. Returns false when
// the bytes could not all be written.
using ByteSink = std::function<bool(const char* bytes, size_t count)>;

// Produces the content of a file by handing its bytes to the sink it is given.
using ContentWriter = std::function<bool(const ByteSink& sink)>;

// How a replacement ended: saved, or the problem as "PATH: reason".
struct ReplaceOutcome {
  bool saved = false;
  std::string problem;
  bool held = false;  // mayReplace said no: nothing was changed
};
// Asked once the new file is complete, right before it replaces the old one; false keeps
// the old file as it was.
using ReplaceGate = std::function<bool()>;
// Replaces the file at path with the content, which goes into a new temporary file of a
// unique name in the same folder, is flushed to disk and only then renamed over the old
// file. A symbolic link at path is followed, so the file it points to is replaced and the
// link stays; the old file's permission bits carry over. Refuses to replace anything that
// is not a regular file (a folder, a device, a pipe). On any failure the temporary file is
// removed and the old file is left exactly as it was. The stop signals (Ctrl-C, SIGTERM)
// are held back meanwhile: a stop that comes during the save is delivered once it is done.
ReplaceOutcome ReplaceFile(const std::string& path, const ContentWriter& writeContent,
                           const ReplaceGate& mayReplace = nullptr);
// True while some thread is inside ReplaceFile; safe to ask from a signal handler.
bool SaveUnderWay();

// The platform file layer.
// What a save at a path would replace.
struct SaveTarget {
  std::string path;          // the file to replace: the given path, symbolic links followed
  bool exists = false;
  unsigned permissions = 0;  // of the existing file; the new one takes them over
  std::string refusal;       // why it must not be replaced; empty when it may
};
SaveTarget FindSaveTarget(const std::string& path);
// A TempFile is an open, newly created file.
struct TempFile;
struct TempFileResult {
  TempFile* file = nullptr;  // null when not created
  bool nameTaken = false;    // something already exists under that name
};
// Creates path as a new file for writing, with the permissions of target when it exists and
// readable by others otherwise; never opens, empties or follows anything that already
// exists under that name.
TempFileResult CreateTempFile(const std::string& path, const SaveTarget& target);
// Writes all count bytes, or returns false.
bool WriteTempFile(TempFile* file, const char* bytes, size_t count);
// Flushes the file to disk and closes it; the file is closed even when this fails.
bool CloseTempFile(TempFile* file);
// Puts the closed file at source in place of target, replacing what was there.
bool MoveTempFileOver(const std::string& source, const std::string& target);
void RemoveTempFile(const std::string& path);
// Reads the file at path to its end, handing its bytes to take in pieces. Only a regular file
// is read, or a named pipe when pipeTaken; it is opened without waiting, so that a pipe no
// one writes to never holds the caller and a device is refused before a byte is read. More
// than maxBytes is refused. Empty when read in full, else why not (without the path).
std::string ReadInputFile(const std::string& path, size_t maxBytes, bool pipeTaken,
                          const ByteSink& take);
// Holds this thread's stop signals back until ReleaseStopSignals, which delivers any that
// came meanwhile. Not nested.
void HoldStopSignals();
void ReleaseStopSignals();
