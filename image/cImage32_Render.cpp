// Drawing and resampling of cImage32: Render with its three paths (the
// blending blit, the high-quality drawing engine of cGDIPlus, the own loops),
// ScaleImage and Resize.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "image/PixelKernels.h"
#include "image/Resample.h"
#include "image/cGDIPlus.h"
#include "image/cImage32.h"

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

// The blending blit: premultiplied source-over with constant alpha; a
// stretched draw picks the nearest source pixel.
bool BlitPath(const cImage32& src, const DeviceContext& dc, const Rect& d, const Rect& s, int Opacity) {
    const unsigned op = unsigned(Opacity * 255 / 100);
    const bool perPixelAlpha = src.Alpha() > 0;
    ResampleJob job;
    if (!VisiblePart(dc, d, job)) return true;
    if (job.OutWidth == s.w && job.OutHeight == s.h) {
        const size_t n = size_t(job.OutX1 - job.OutX0);
        for (int y = job.OutY0; y < job.OutY1; ++y)
            BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4, src.Row(s.y + y) + size_t(s.x + job.OutX0) * 4, n,
                     op, perPixelAlpha);
        return true;
    }
    job.SrcX = s.x, job.SrcY = s.y, job.SrcWidth = s.w, job.SrcHeight = s.h;
    job.Filter = ResampleFilter::Nearest;
    const size_t n = size_t(job.OutX1 - job.OutX0);
    return ResampleRect(src, job, [&](int y, uint8_t* px) {
        BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4, px, n, op, perPixelAlpha);
    });
}

// The own loops: mirror, own scaler, then grey, light and the own blend.
bool OwnPath(const cImage32& src, const DeviceContext& dc, const Rect& d, const Rect& s, int Opacity, int grayScale,
             float LightAdjustment) {
    const unsigned op = unsigned(Opacity * 255 / 100);
    ResampleJob job;
    if (!VisiblePart(dc, d, job)) return true;
    job.SrcX = s.x, job.SrcY = s.y, job.SrcWidth = s.w, job.SrcHeight = s.h;
    job.Filter = src.HighQualityInterpolation() ? ResampleFilter::OwnLinear : ResampleFilter::OwnNearest;
    const LightAdjuster light(LightAdjustment);
    const size_t n = size_t(job.OutX1 - job.OutX0);
    return ResampleRect(src, job, [&](int y, uint8_t* px) {
        GreyRow(px, n, grayScale);
        if (LightAdjustment != 0.0f) light.Apply(px, n);
        BlendRow(dc.Row(d.y + y) + size_t(d.x + job.OutX0) * 4, px, n, op);
    });
}

bool IsRotation(float Angle) { return Angle != std::trunc(Angle) || std::fmod(Angle, 360.0f) != 0.0f; }

}  // namespace

bool cImage32::Render(const DeviceContext* destinationDC, int destX, int destY, int destWidth, int destHeight,
                      int SrcX, int SrcY, int srcWidth, int srcHeight, int Opacity, bool /*Blend*/,
                      bool /*SetHalfTone*/, cImage32* destHostDIB, int grayScale, float LightAdjustment, float Angle,
                      bool CenterOnDestXY) {
    if (Opacity < 1) return HasImage();
    if (!HasImage()) return false;
    const DeviceContext dc = destHostDIB ? destHostDIB->LoadDIBinDC(true) : (destinationDC ? *destinationDC : DeviceContext{});
    if (!dc) return false;
    // Sizes whose negation overflows cannot describe a drawable rectangle.
    if (destWidth == INT_MIN || destHeight == INT_MIN || srcWidth == INT_MIN || srcHeight == INT_MIN) return false;

    if (destWidth == 0) destWidth = m_Width;
    if (destHeight == 0) destHeight = m_Height;
    SrcX = std::max(SrcX, 0);
    SrcY = std::max(SrcY, 0);
    if (srcWidth < 0) {
        destWidth = -destWidth;
        srcWidth = -srcWidth;
    } else if (srcWidth == 0) {
        srcWidth = m_Width;
    }
    if (srcHeight < 0) {
        destHeight = -destHeight;
        srcHeight = -srcHeight;
    } else if (srcHeight == 0) {
        srcHeight = m_Height;
    }
    if (int64_t(SrcX) + srcWidth > m_Width) srcWidth = m_Width - SrcX;
    if (int64_t(SrcY) + srcHeight > m_Height) srcHeight = m_Height - SrcY;
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

    DrawOptions options;
    options.HighQuality = m_HighQualityInterpolation;
    options.grayScale = grayScale;
    options.LightAdjustment = LightAdjustment;
    options.Opacity = Opacity;
    if (rotated) {
        // Without the drawing engine enabled the turn is still done by the same own code.
        options.Angle = Angle;
        return cGDIPlus::DrawImage(*this, dc, d.x, d.y, d.w, d.h, s.x, s.y, s.w, s.h, options);
    }
    const bool mirrored = destWidth < 0 || destHeight < 0;
    const bool stretched = std::abs(destWidth) != srcWidth || std::abs(destHeight) != srcHeight;
    const bool blit = !m_KeepGDIplusActive && !(isGDIplusEnabled() && m_gdiToken != 0) && isAlphaBlendFriendly() &&
                      !mirrored && grayScale == -1 && LightAdjustment == 0.0f &&
                      (!stretched || !m_HighQualityInterpolation);
    if (blit) return BlitPath(*this, dc, d, s, Opacity);
    if (isGDIplusEnabled()) return cGDIPlus::DrawImage(*this, dc, d.x, d.y, d.w, d.h, s.x, s.y, s.w, s.h, options);
    return OwnPath(*this, dc, d, s, Opacity, grayScale, LightAdjustment);
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

bool cImage32::Resize(int newWidth, int newHeight) {
    if (!HasImage()) return false;
    if (newWidth == INT_MIN || newHeight == INT_MIN) return false;
    if (newWidth == 0) newWidth = m_Width;
    if (newHeight == 0) newHeight = m_Height;
    if (newWidth == m_Width && newHeight == m_Height) return true;

    cImage32 sized;
    if (!sized.InitializeDIB(std::abs(newWidth), std::abs(newHeight))) return false;
    sized.m_gdiToken = m_gdiToken;
    sized.isGDIplusEnabled(isGDIplusEnabled());
    sized.m_HighQualityInterpolation = m_HighQualityInterpolation;
    sized.m_ImageType = m_ImageType;
    sized.m_Alpha = m_Alpha;
    DeviceContext dc = sized.LoadDIBinDC(true);

    bool ok;
    if (isGDIplusEnabled() && m_HighQualityInterpolation) {
        DrawOptions options;
        options.CopyOnly = true;
        ok = cGDIPlus::DrawImage(*this, dc, 0, 0, newWidth, newHeight, 0, 0, m_Width, m_Height, options);
    } else if (newWidth < 0 || newHeight < 0 || !isAlphaBlendFriendly() || m_HighQualityInterpolation) {
        ResampleJob job;
        job.SrcWidth = m_Width, job.SrcHeight = m_Height;
        VisiblePart(dc, Rect{0, 0, newWidth, newHeight}, job);
        job.Filter = m_HighQualityInterpolation ? ResampleFilter::OwnLinear : ResampleFilter::OwnNearest;
        ok = ResampleRect(*this, job, [&](int y, uint8_t* px) {
            std::memcpy(sized.Row(y), px, size_t(sized.scanWidth()));
        });
    } else {
        // The blit does not scale well: let the drawing engine or the own path do it.
        isAlphaBlendFriendly(false);
        ok = Render(&dc, 0, 0, newWidth, newHeight, 0, 0, m_Width, m_Height, 100, true, false);
        isAlphaBlendFriendly(true);
    }
    if (!ok) return false;
    SwapDIBs(sized);
    return true;
}
