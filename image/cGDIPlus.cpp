#include "image/cGDIPlus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/PixelKernels.h"
#include "image/Resample.h"
#include "image/cJPGWriter.h"
#include "image/cPNGwriter.h"

namespace {

// A destination to draw on, and a source rectangle inside the picture.
bool CanDraw(int width, int height, const DeviceContext& dest, int destWidth, int destHeight, int SrcX, int SrcY,
             int srcWidth, int srcHeight) {
    if (width < 1 || !dest || destWidth == 0 || destHeight == 0) return false;
    return srcWidth >= 1 && srcHeight >= 1 && SrcX >= 0 && SrcY >= 0 && int64_t(SrcX) + srcWidth <= width &&
           int64_t(SrcY) + srcHeight <= height;
}

unsigned OpacityToByte(int Opacity) { return unsigned(std::lround(std::clamp(Opacity, 0, 100) * 2.55)); }

// Grey rows and the brightness translation of the colour matrix, applied to
// premultiplied pixels: both are linear in the colour, so premultiplied in
// gives premultiplied out.
void ApplyColourMatrix(uint8_t* px, size_t n, const DrawOptions& o, const LightAdjuster& light) {
    GreyRow(px, n, o.grayScale);
    if (o.LightAdjustment != 0.0f) light.Apply(px, n);
}

// Bilinear (or nearest) sample of `img` at picture position (x, y) in pixel
// units, pixel centres at .5; outside the picture counts as transparent, so
// rotated edges come out smooth.
void Sample(const cImage32& img, double x, double y, bool bilinear, uint8_t* out) {
    const int w = img.Width(), h = img.Height();
    if (!bilinear) {
        const int ix = int(std::floor(x)), iy = int(std::floor(y));
        if (ix < 0 || iy < 0 || ix >= w || iy >= h) {
            std::memset(out, 0, 4);
        } else {
            std::memcpy(out, img.Row(iy) + size_t(ix) * 4, 4);
        }
        return;
    }
    x -= 0.5;
    y -= 0.5;
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const int fx = int((x - x0) * 256.0), fy = int((y - y0) * 256.0);
    int acc[4] = {128 * 256, 128 * 256, 128 * 256, 128 * 256};
    const int wts[4] = {(256 - fx) * (256 - fy), fx * (256 - fy), (256 - fx) * fy, fx * fy};
    for (int k = 0; k < 4; ++k) {
        const int sx = x0 + (k & 1), sy = y0 + (k >> 1);
        if (sx < 0 || sy < 0 || sx >= w || sy >= h || wts[k] == 0) continue;
        const uint8_t* p = img.Row(sy) + size_t(sx) * 4;
        for (int c = 0; c < 4; ++c) acc[c] += wts[k] * p[c];
    }
    for (int c = 0; c < 4; ++c) out[c] = uint8_t(std::min(acc[c] >> 16, 255));
}

bool DrawRotated(const cImage32& source, const DeviceContext& dest, int destX, int destY, int destWidth,
                 int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight, const DrawOptions& o) {
    const int aw = std::abs(destWidth), ah = std::abs(destHeight);
    // First the picture at its drawn size (mirrored, colour matrix applied), then turned.
    cImage32 sized;
    if (!sized.InitializeDIB(aw, ah)) return false;
    DrawOptions flat = o;
    flat.Angle = 0;
    flat.Opacity = 100;
    flat.CopyOnly = true;
    if (!cGDIPlus::DrawImage(source, sized.LoadDIBinDC(true), 0, 0, destWidth, destHeight, SrcX, SrcY, srcWidth,
                             srcHeight, flat))
        return false;

    const double rad = o.Angle * M_PI / 180.0, c = std::cos(rad), s = std::sin(rad);
    const double cx = destX + aw / 2, cy = destY + ah / 2;
    // Bounding box of the turned rectangle, clipped to the target.
    double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
    for (int k = 0; k < 4; ++k) {
        const double px = ((k & 1) ? destX + aw : destX) - cx, py = ((k >> 1) ? destY + ah : destY) - cy;
        const double rx = cx + px * c - py * s, ry = cy + px * s + py * c;
        minX = std::min(minX, rx), maxX = std::max(maxX, rx), minY = std::min(minY, ry), maxY = std::max(maxY, ry);
    }
    const int x0 = std::max(0, int(std::floor(minX))), x1 = std::min(dest.Width, int(std::ceil(maxX)));
    const int y0 = std::max(0, int(std::floor(minY))), y1 = std::min(dest.Height, int(std::ceil(maxY)));
    if (x0 >= x1 || y0 >= y1) return true;
    std::vector<uint8_t> row(size_t(x1 - x0) * 4);
    const unsigned op = OpacityToByte(o.Opacity);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            // Inverse turn of the pixel centre into the unturned rectangle.
            const double px = x + 0.5 - cx, py = y + 0.5 - cy;
            const double ux = px * c + py * s + cx - destX, uy = -px * s + py * c + cy - destY;
            Sample(sized, ux, uy, o.HighQuality, &row[size_t(x - x0) * 4]);
        }
        BlendRow(dest.Row(y) + size_t(x0) * 4, row.data(), size_t(x1 - x0), op);
    }
    return true;
}

}  // namespace

bool cGDIPlus::isGDIplusOk(long* /*gdiToken*/, bool /*KeepToken*/) const { return true; }

bool cGDIPlus::DrawImage(const cImage32& source, const DeviceContext& dest, int destX, int destY, int destWidth,
                         int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight, const DrawOptions& o) {
    if (!source.HasImage()) return false;
    if (o.Angle == 0.0f)
        return DrawImage(PixelRows(source), dest, destX, destY, destWidth, destHeight, SrcX, SrcY, srcWidth, srcHeight, o);
    if (!CanDraw(source.Width(), source.Height(), dest, destWidth, destHeight, SrcX, SrcY, srcWidth, srcHeight))
        return false;
    return DrawRotated(source, dest, destX, destY, destWidth, destHeight, SrcX, SrcY, srcWidth, srcHeight, o);
}

bool cGDIPlus::DrawImage(const PixelRows& source, const DeviceContext& dest, int destX, int destY, int destWidth,
                         int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight, const DrawOptions& o) {
    if (!CanDraw(source.Width, source.Height, dest, destWidth, destHeight, SrcX, SrcY, srcWidth, srcHeight))
        return false;

    const int64_t aw = std::abs(int64_t(destWidth)), ah = std::abs(int64_t(destHeight));
    // The visible part of the destination rectangle, in output coordinates.
    const int64_t ox0 = std::max<int64_t>(0, -int64_t(destX)), oy0 = std::max<int64_t>(0, -int64_t(destY));
    const int64_t ox1 = std::min<int64_t>(aw, int64_t(dest.Width) - destX);
    const int64_t oy1 = std::min<int64_t>(ah, int64_t(dest.Height) - destY);
    if (ox0 >= ox1 || oy0 >= oy1) return true;

    ResampleJob job;
    job.SrcX = SrcX, job.SrcY = SrcY, job.SrcWidth = srcWidth, job.SrcHeight = srcHeight;
    job.OutWidth = int(aw), job.OutHeight = int(ah);
    job.MirrorX = destWidth < 0, job.MirrorY = destHeight < 0;
    job.Filter = o.HighQuality ? ResampleFilter::Bicubic : ResampleFilter::Nearest;
    job.OutX0 = int(ox0), job.OutX1 = int(ox1), job.OutY0 = int(oy0), job.OutY1 = int(oy1);

    const LightAdjuster light(o.LightAdjustment);
    const unsigned op = OpacityToByte(o.Opacity);
    const size_t n = size_t(ox1 - ox0);
    return ResampleRect(source, job, [&](int y, uint8_t* px) {
        ApplyColourMatrix(px, n, o, light);
        uint8_t* target = dest.Row(destY + y) + size_t(destX + ox0) * 4;
        if (o.CopyOnly && op == 255) {
            std::memcpy(target, px, n * 4);
        } else {
            BlendRow(target, px, n, op);
        }
    });
}

bool cGDIPlus::SaveToPNG(const std::string& FileName, ByteArray& outStream, const cImage32& cHost) {
    if (!cHost.HasImage() || !cPNGwriter().Encode(cHost.BitsPointer(), cHost.Width(), cHost.Height(), outStream))
        return false;
    return FileName.empty() || cImage32::WriteBytesToFile(FileName, outStream.data(), outStream.size());
}

bool cGDIPlus::SaveToJPG(const std::string& FileName, ByteArray& outStream, const cImage32& cHost, int Quality,
                         uint32_t TransFillColor) {
    return cJPGWriter().Save(FileName, outStream, cHost, uint8_t(std::clamp(Quality, 0, 255)), TransFillColor);
}
