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

// The pixels a resampling reads: Width x Height premultiplied pixels, picture
// row y (0 = top) at Row(y). Every image is one; a picture made of a few
// distinct rows (the shadow of a rectangle) need not be stored whole.
struct PixelRows {
    int Width = 0, Height = 0;
    const void* Owner = nullptr;
    const uint8_t* (*RowOf)(const void* owner, int y) = nullptr;

    PixelRows() = default;
    PixelRows(const cImage32& image);  // NOLINT: an image is its rows
    PixelRows(int width, int height, const void* owner, const uint8_t* (*rowOf)(const void*, int))
        : Width(width), Height(height), Owner(owner), RowOf(rowOf) {}
    const uint8_t* Row(int y) const { return RowOf(Owner, y); }
};

// Calls `row(y, pixels)` once for every output row y of the part; `pixels`
// holds OutX1 - OutX0 premultiplied pixels (colour never above alpha) and may
// be changed by the callee. Large jobs are split by rows over the cores: the
// callee may be called for different rows at the same time, and must only
// touch what belongs to its row. The pixels do not depend on that split.
// False when the job is invalid or memory runs out.
using ResampleRowSink = std::function<void(int y, uint8_t* pixels)>;
bool ResampleRect(const PixelRows& source, const ResampleJob& job, const ResampleRowSink& row);

// `sized` becomes `source` resampled to newWidth x newHeight (0: unchanged,
// negative: mirrored) exactly as Resize would make it, with its properties;
// `source` stays as it is. False (and `sized` empty) on failure.
bool ResizeInto(const cImage32& source, cImage32& sized, int newWidth, int newHeight);
