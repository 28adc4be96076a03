// Drawing and resampling of cImage32: Render with its three paths (the
// blending blit, the high-quality drawing engine of cGDIPlus, the own loops),
// ScaleImage and Resize; and the drawing of a cRectShadow by the same rules.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>

#include "image/ParallelRows.h"
#include "image/PixelKernels.h"
#include "image/Resample.h"
#include "image/cGDIPlus.h"
#include "image/cImage32.h"
#include "image/cRectShadow.h"

namespace {

struct Rect {
    int x, y, w, h;  // w, h may be negative (mirror)
};

// The part of the destination rectangle [x, x + |w|) x [y, y + |h|) that lies
// on the target, in output coordinates; false when nothing does.
bool VisiblePart(const DeviceContext& dc, const Rect& d, ResampleJob& job) {
    const int64_t aw = std::abs(int64_t(d.w)), ah = std::abs(int64_t(d.h));
    const int64_t x0 = std::max<int64_t>(0, -int64_t(d.x)), y0 = std::max<int64_t>(0, -int64_t(d.y));
    const int64_t x1 = std::min<int64_t>(aw, int64_t(dc.Width) - d.x), y1 = std::min<int64_t>(ah, int64_t(dc.Height) - d.y);
    if (x0 >= x1 || y0 >= y1) return false;
    job.OutWidth = int(aw), job.OutHeight = int(ah);
    job.OutX0 = int(x0), job.OutX1 = int(x1), job.OutY0 = int(y0), job.OutY1 = int(y1);
    job.MirrorX = d.w < 0, job.MirrorY = d.h < 0;
    return true;
}

bool IsRotation(float Angle) { return Angle != std::trunc(Angle) || std::fmod(Angle, 360.0f) != 0.0f; }

// The blending blit: premultiplied source-over with constant alpha; a
// stretched draw picks the nearest source pixel.
bool BlitPath(const PixelRows& src, bool perPixelAlpha, const DeviceContext& dc, const Rect& d, const Rect& s,
              int Opacity) {
    const unsigned op = unsigned(Opacity * 255 / 100);
    ResampleJob job;
    if (!VisiblePart(dc, d, job)) return true;
    const size_t n = size_t(job.OutX1 - job.OutX0);
    if (job.OutWidth == s.w && job.OutHeight == s.h) {
        ParallelRows(job.OutY1 - job.OutY0, double(n) * 12.0, [&](int from, int to) {
            for (int y = job.OutY0 + from; y < job.OutY0 + to; ++y)
                BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4,
                         src.Row(s.y + y) + size_t(s.x + job.OutX0) * 4, n, op, perPixelAlpha);
        });
        return true;
    }
    job.SrcX = s.x, job.SrcY = s.y, job.SrcWidth = s.w, job.SrcHeight = s.h;
    job.Filter = ResampleFilter::Nearest;
    return ResampleRect(src, job, [&](int y, uint8_t* px) {
        BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4, px, n, op, perPixelAlpha);
    });
}

// The own loops: mirror, own scaler, then grey, light and the own blend.
bool OwnPath(const PixelRows& src, bool highQuality, const DeviceContext& dc, const Rect& d, const Rect& s,
             int Opacity, int grayScale, float LightAdjustment) {
    const unsigned op = unsigned(Opacity * 255 / 100);
    ResampleJob job;
    if (!VisiblePart(dc, d, job)) return true;
    job.SrcX = s.x, job.SrcY = s.y, job.SrcWidth = s.w, job.SrcHeight = s.h;
    job.Filter = highQuality ? ResampleFilter::OwnLinear : ResampleFilter::OwnNearest;
    const LightAdjuster light(LightAdjustment);
    const size_t n = size_t(job.OutX1 - job.OutX0);
    return ResampleRect(src, job, [&](int y, uint8_t* px) {
        GreyRow(px, n, grayScale);
        if (LightAdjustment != 0.0f) light.Apply(px, n);
        BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4, px, n, op);
    });
}

// What chooses a draw's path, besides its arguments.
struct SourceTraits {
    int Alpha = 0;
    bool HighQuality = false;
    bool BlitAllowed = false;  // the blending blit may be used (alpha-blend friendly, no kept drawing engine)
    bool GDIplusEnabled = false;
};

// Render from step 3 on: normalised rectangles, then the path.
bool RenderRows(const PixelRows& rows, const SourceTraits& t, const cImage32* image, const DeviceContext& dc,
                int destX, int destY, int destWidth, int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight,
                int Opacity, int grayScale, float LightAdjustment, float Angle, bool CenterOnDestXY) {
    // Sizes whose negation overflows cannot describe a drawable rectangle.
    if (destWidth == INT_MIN || destHeight == INT_MIN || srcWidth == INT_MIN || srcHeight == INT_MIN) return false;

    if (destWidth == 0) destWidth = rows.Width;
    if (destHeight == 0) destHeight = rows.Height;
    SrcX = std::max(SrcX, 0);
    SrcY = std::max(SrcY, 0);
    if (srcWidth < 0) {
        destWidth = -destWidth;
        srcWidth = -srcWidth;
    } else if (srcWidth == 0) {
        srcWidth = rows.Width;
    }
    if (srcHeight < 0) {
        destHeight = -destHeight;
        srcHeight = -srcHeight;
    } else if (srcHeight == 0) {
        srcHeight = rows.Height;
    }
    if (int64_t(SrcX) + srcWidth > rows.Width) srcWidth = rows.Width - SrcX;
    if (int64_t(SrcY) + srcHeight > rows.Height) srcHeight = rows.Height - SrcY;
    // A source rectangle that lies outside the picture has nothing to draw.
    if (srcWidth < 1 || srcHeight < 1) return false;

    if (!std::isfinite(Angle)) Angle = 0.0f;
    const bool rotated = IsRotation(Angle);
    Opacity %= 100;
    if (Opacity == 0) Opacity = 100;
    if (!(LightAdjustment >= -100.0f && LightAdjustment <= 100.0f)) LightAdjustment = 0.0f;
    if (CenterOnDestXY) {
        destX -= std::abs(destWidth) / 2;
        destY -= std::abs(destHeight) / 2;
    }
    const Rect d{destX, destY, destWidth, destHeight}, s{SrcX, SrcY, srcWidth, srcHeight};

    // A picture drawn onto itself reads rows that the draw writes: they
    // must go in order, as they always have.
    std::optional<SerialRows> serial;
    if (image && dc.Bits < image->BitsPointer() + size_t(image->scanWidth()) * size_t(image->Height()) &&
        dc.Bits + size_t(dc.Stride) * size_t(dc.Height) > image->BitsPointer())
        serial.emplace();

    DrawOptions options;
    options.HighQuality = t.HighQuality;
    options.grayScale = grayScale;
    options.LightAdjustment = LightAdjustment;
    options.Opacity = Opacity;
    if (rotated) {
        // Without the drawing engine enabled the turn is still done by the same own code.
        if (!image) return false;
        options.Angle = Angle;
        return cGDIPlus::DrawImage(*image, dc, d.x, d.y, d.w, d.h, s.x, s.y, s.w, s.h, options);
    }
    const bool mirrored = destWidth < 0 || destHeight < 0;
    const bool stretched = std::abs(destWidth) != srcWidth || std::abs(destHeight) != srcHeight;
    const bool blit = t.BlitAllowed && !mirrored && grayScale == -1 && LightAdjustment == 0.0f &&
                      (!stretched || !t.HighQuality);
    if (blit) return BlitPath(rows, t.Alpha > 0, dc, d, s, Opacity);
    if (t.GDIplusEnabled) return cGDIPlus::DrawImage(rows, dc, d.x, d.y, d.w, d.h, s.x, s.y, s.w, s.h, options);
    return OwnPath(rows, t.HighQuality, dc, d, s, Opacity, grayScale, LightAdjustment);
}

}  // namespace

bool cImage32::Render(const DeviceContext* destinationDC, int destX, int destY, int destWidth, int destHeight,
                      int SrcX, int SrcY, int srcWidth, int srcHeight, int Opacity, bool /*Blend*/,
                      bool /*SetHalfTone*/, cImage32* destHostDIB, int grayScale, float LightAdjustment, float Angle,
                      bool CenterOnDestXY) {
    if (Opacity < 1) return HasImage();
    if (!HasImage()) return false;
    const DeviceContext dc = destHostDIB ? destHostDIB->LoadDIBinDC(true) : (destinationDC ? *destinationDC : DeviceContext{});
    if (!dc) return false;
    SourceTraits t;
    t.Alpha = m_Alpha;
    t.HighQuality = m_HighQualityInterpolation;
    t.BlitAllowed = !m_KeepGDIplusActive && !(isGDIplusEnabled() && m_gdiToken != 0) && isAlphaBlendFriendly();
    t.GDIplusEnabled = isGDIplusEnabled();
    return RenderRows(*this, t, this, dc, destX, destY, destWidth, destHeight, SrcX, SrcY, srcWidth, srcHeight,
                      Opacity, grayScale, LightAdjustment, Angle, CenterOnDestXY);
}

bool cRectShadow::Render(const DeviceContext& dc, int destX, int destY, int destWidth, int destHeight, int Opacity,
                         bool CenterOnDestXY) const {
    if (Opacity < 1) return !m_Rows.empty();
    if (m_Rows.empty() || !dc) return false;
    // The traits of the image CreateDropShadow returns: a new image with
    // the drawing engine enabled and high-quality interpolation, Alpha 2.
    SourceTraits t;
    t.Alpha = 2;
    t.HighQuality = true;
    t.BlitAllowed = true;
    t.GDIplusEnabled = true;
    const PixelRows rows(m_Width, m_Height, this,
                         [](const void* shadow, int y) { return static_cast<const cRectShadow*>(shadow)->Row(y); });
    return RenderRows(rows, t, nullptr, dc, destX, destY, destWidth, destHeight, 0, 0, 0, 0, Opacity, -1, 0.0f, 0.0f,
                      CenterOnDestXY);
}

void cImage32::ScaleImage(int destWidth, int destHeight, int& newWidth, int& newHeight, int ScaleMode) const {
    if (!HasImage()) return;
    if (ScaleMode == 0 || ScaleMode == 1) {
        float rx = float(destWidth) / float(m_Width), ry = float(destHeight) / float(m_Height);
        // Mode 1 never enlarges.
        if (ScaleMode == 1 && rx > 1.0f && ry > 1.0f) rx = ry = 1.0f;
        const float ratio = std::min(rx, ry);
        newWidth = int(std::floor(ratio * float(m_Width)));
        newHeight = int(std::floor(ratio * float(m_Height)));
    } else if (ScaleMode == 2) {
        newWidth = destWidth;
        newHeight = destHeight;
    } else {
        newWidth = m_Width;
        newHeight = m_Height;
    }
}

bool ResizeInto(const cImage32& source, cImage32& sized, int newWidth, int newHeight) {
    if (!source.HasImage() || newWidth == INT_MIN || newHeight == INT_MIN) return false;
    if (newWidth == 0) newWidth = source.Width();
    if (newHeight == 0) newHeight = source.Height();
    if (!sized.InitializeDIB(std::abs(newWidth), std::abs(newHeight))) return false;
    sized.gdiToken(source.gdiToken());
    sized.isGDIplusEnabled(source.isGDIplusEnabled());
    sized.HighQualityInterpolation(source.HighQualityInterpolation());
    sized.SetImageType(source.ImageType());
    sized.Alpha(source.Alpha());
    const DeviceContext dc = sized.LoadDIBinDC(true);
    const int w = source.Width(), h = source.Height();
    const bool hq = source.HighQualityInterpolation();

    bool ok;
    if (source.isGDIplusEnabled() && hq) {
        DrawOptions options;
        options.CopyOnly = true;
        ok = cGDIPlus::DrawImage(source, dc, 0, 0, newWidth, newHeight, 0, 0, w, h, options);
    } else if (newWidth < 0 || newHeight < 0 || !source.isAlphaBlendFriendly() || hq) {
        ResampleJob job;
        job.SrcWidth = w, job.SrcHeight = h;
        VisiblePart(dc, Rect{0, 0, newWidth, newHeight}, job);
        job.Filter = hq ? ResampleFilter::OwnLinear : ResampleFilter::OwnNearest;
        ok = ResampleRect(source, job, [&](int y, uint8_t* px) {
            std::memcpy(sized.Row(y), px, size_t(sized.scanWidth()));
        });
    } else {
        // The blit does not scale well: the drawing engine or the own path does it.
        SourceTraits t;
        t.Alpha = source.Alpha();
        t.HighQuality = hq;
        t.GDIplusEnabled = source.isGDIplusEnabled();
        ok = RenderRows(source, t, &source, dc, 0, 0, newWidth, newHeight, 0, 0, w, h, 100, -1, 0.0f, 0.0f, false);
    }
    if (!ok) sized.DestroyDIB();
    return ok;
}

bool cImage32::Resize(int newWidth, int newHeight) {
    if (!HasImage()) return false;
    if (newWidth == INT_MIN || newHeight == INT_MIN) return false;
    if ((newWidth == 0 || newWidth == m_Width) && (newHeight == 0 || newHeight == m_Height)) return true;
    cImage32 sized;
    if (!ResizeInto(*this, sized, newWidth, newHeight)) return false;
    SwapDIBs(sized);
    return true;
}
