#include "output/Geometry.h"

#include <cfenv>
#include <cmath>
#include <limits>

std::optional<int32_t> RoundHalfEven(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    // nearbyint honours the current rounding mode; ties-to-even is the
    // default one, but do not rely on nobody having changed it.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    std::fesetround(saved);
    if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(r);
}

std::optional<FrameGeometry> ComputeFrameGeometry(int32_t outW, int32_t outH, int32_t imgW, int32_t imgH,
                                                  bool ignoreAspect) {
    if (imgW <= 0 || imgH <= 0) return std::nullopt;
    FrameGeometry g;
    const double aspect = static_cast<double>(imgW) / imgH;
    bool ok = true;
    auto round = [&ok](double v) {
        const auto r = RoundHalfEven(v);
        if (!r) ok = false;
        return r.value_or(0);
    };

    // Fit by height; a relatively wider picture is fitted by width instead and
    // its blurred copy keeps the height fit, which covers the frame.
    g.RenderWidth = round(outH * aspect);
    g.RenderHeight = outH;
    if (outW < g.RenderWidth) {
        g.BlurRenderWidth = g.RenderWidth;
        g.BlurRenderHeight = g.RenderHeight;
        g.RenderHeight = round(outW / aspect);
        g.RenderWidth = outW;
    }
    if (outW >= g.BlurRenderWidth) {
        g.BlurRenderWidth = outW;
        g.BlurRenderHeight = round(outW / aspect);
    }
    g.BlurRenderWidth = round(g.BlurRenderWidth * 1.5);
    g.BlurRenderHeight = round(g.BlurRenderHeight * 1.5);
    g.FitWidth = g.RenderWidth;
    g.FitHeight = g.RenderHeight;

    if (g.RenderWidth < outW) {
        g.OffsetX = round(outW / 2.0 - g.RenderWidth / 2.0);
        g.NeedsBackground = true;
    }
    if (g.RenderHeight < outH) {
        g.OffsetY = round(outH / 2.0 - g.RenderHeight / 2.0);
        g.NeedsBackground = true;
    }
    if (ignoreAspect) {
        g.RenderWidth = outW;
        g.RenderHeight = outH;
        g.NeedsBackground = false;
    }

    // The shadow runs past the image by 24 pixels on each side, or by half
    // the image when the image already spans the frame.
    g.ShadowWidth = outW <= g.RenderWidth ? round(g.RenderWidth * 1.5) : round(g.RenderWidth + 48.0);
    g.ShadowHeight = outH <= g.RenderHeight ? round(g.RenderHeight * 1.5) : round(g.RenderHeight + 48.0);
    if (!ok) return std::nullopt;
    return g;
}
