#pragma once
// Separable resampling of a rectangle of a premultiplied image, delivered one
// output row at a time so that callers can blend rows straight into their
// target without holding the whole result.
#include <cstdint>
#include <functional>

#include "image/cImage32.h"

enum class ResampleFilter {
    Nearest,   // the source pixel under each output pixel's centre
    Bicubic,   // cubic convolution (a = -0.5) widened by the shrink factor, so shrinking averages
    OwnNearest,  // the library's own scaler: position x * src / dst, no centring
    OwnLinear,   // the own scaler's high-quality mode: weights 1 - |distance| at x * src / dst
};

struct ResampleJob {
    int SrcX = 0, SrcY = 0, SrcWidth = 0, SrcHeight = 0;  // inside the source image
    int OutWidth = 0, OutHeight = 0;                      // full output size (> 0)
    bool MirrorX = false, MirrorY = false;
    ResampleFilter Filter = ResampleFilter::Bicubic;
    // Only this part of the output is produced: columns [OutX0, OutX1), rows [OutY0, OutY1).
    int OutX0 = 0, OutX1 = 0, OutY0 = 0, OutY1 = 0;
};

// Calls `row(y, pixels)` for every output row y of the part, top to bottom;
// `pixels` holds OutX1 - OutX0 premultiplied pixels (colour never above alpha)
// and may be changed by the callee. False when the job is invalid or memory
// runs out.
using ResampleRowSink = std::function<void(int y, uint8_t* pixels)>;
bool ResampleRect(const cImage32& source, const ResampleJob& job, const ResampleRowSink& row);
