#pragma once
// The confidence frame: what the output shows, copied on the GUI thread (the
// only work there) and encoded as JPEG on a worker thread.
#include <cstdint>
#include <memory>
#include <vector>

#include "image/cImage32.h"

// One copy of the visible output surface as a picture; empty while the
// output has no area.
std::shared_ptr<cImage32> CopyOutputSurface();

// JPEG of `frame`, resampled to `width` (0: as it is) keeping the aspect
// ratio. Safe on any thread; empty on failure.
inline constexpr int kFrameJpegQuality = 85;
std::vector<uint8_t> EncodeFrame(const cImage32& frame, int width);
