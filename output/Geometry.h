#pragma once
// Where and how large the pieces of a composed frame are drawn: the fitted
// image, the blurred fill behind it and its drop shadow. Pure arithmetic, so
// that the numbers can be checked without pixels.
#include <cstdint>
#include <optional>

// Nearest integer, halves to even (2.5 -> 2, 3.5 -> 4); nullopt when the value
// is not finite or does not fit 32 bits.
std::optional<int32_t> RoundHalfEven(double value);

struct FrameGeometry {
    int32_t RenderWidth = 0;
    int32_t RenderHeight = 0;
    // The aspect-fitted size, also when ignoreAspect stretches the picture:
    // what the debug lines report.
    int32_t FitWidth = 0;
    int32_t FitHeight = 0;
    int32_t BlurRenderWidth = 0;
    int32_t BlurRenderHeight = 0;
    int32_t OffsetX = 0;
    int32_t OffsetY = 0;
    int32_t ShadowWidth = 0;
    int32_t ShadowHeight = 0;
    bool NeedsBackground = false;
};

// Fits an imgW x imgH picture into an outW x outH frame (height first, then
// width when the picture is relatively wider), centred; `ignoreAspect`
// stretches it over the whole frame. nullopt when the picture has no area or
// a size does not fit 32 bits (a hostile 1-pixel-high strip, for instance).
std::optional<FrameGeometry> ComputeFrameGeometry(int32_t outW, int32_t outH, int32_t imgW, int32_t imgH,
                                                  bool ignoreAspect);
