// SPDX-License-Identifier: GPL-2.0-or-later
// One decoded frame of a live stream as a small JPEG, with what the page needs to know of it:
// whether it is black, and a hash of what it shows that tells the same still picture again.
#pragma once

#include <string>

struct AVFrame;

// The widest picture kept; narrower frames keep their width.
const int kPictureMaxWidth = 320;
// A JPEG larger than this is not kept (at the widest and the coarsest quality none is).
const size_t kPictureMaxBytes = 64 * 1024;

struct Picture {
  std::string jpeg;  // empty when the frame could not be made a picture
  std::string hash;  // hex; equal for two frames that show the same still picture
  bool black = false;
};

// False where this build has no picture encoder (the Windows build).
bool PicturesAvailable();
// The frame scaled to at most kPictureMaxWidth (its aspect kept) as a JPEG. A frame over the
// probe's pixel bound, of no size, or of a pixel format the scaler does not know gives none.
Picture PictureOfFrame(const AVFrame& frame);
