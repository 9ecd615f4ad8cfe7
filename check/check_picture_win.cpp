// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows build's FFmpeg has no scaler and no JPEG encoder: no pictures there.
#include "check/check_picture.h"

bool PicturesAvailable() { return false; }

Picture PictureOfFrame(const AVFrame&) { return Picture(); }
