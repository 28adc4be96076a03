#pragma once
// The drawing engine behind Render's high-quality path: resampling with a
// bicubic filter that widens when shrinking (so nothing aliases) or nearest
// neighbour, the 5x5 colour matrix (grey rows, alpha scale, brightness
// translation) and rotation about the destination centre; and the PNG and
// JPEG saving that the platform encoders would do. All own code; it needs no
// start-up, so it is always available.
#include <string>

#include "image/DeviceContext.h"
#include "image/cImage32.h"

struct PixelRows;

struct DrawOptions {
    bool HighQuality = true;     // bicubic; false: nearest neighbour
    int grayScale = -1;          // grey formula, -1 none
    float LightAdjustment = 0;   // -100..100, added to every colour
    int Opacity = 100;           // 1..100, scales alpha
    float Angle = 0;             // degrees, clockwise on screen, about the centre of the destination rectangle
    bool CopyOnly = false;       // the target is blank: write the pixels instead of blending
};

class cGDIPlus {
public:
    // Always true here: the drawing code is part of the library. The token is
    // left untouched (nothing to start or keep).
    bool isGDIplusOk(long* gdiToken = nullptr, bool KeepToken = false) const;

    // DrawImage (below) from a picture's rows, one not held whole; no rotation.
    static bool DrawImage(const PixelRows& source, const DeviceContext& dest, int destX, int destY, int destWidth,
                          int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight, const DrawOptions& options);

    // Draws the source rectangle into the destination rectangle
    // [destX, destX + |destWidth|) x [destY, destY + |destHeight|); a negative
    // destination size mirrors along that axis. The source rectangle must lie
    // inside the picture. Parts outside the target are clipped.
    static bool DrawImage(const cImage32& source, const DeviceContext& dest, int destX, int destY, int destWidth,
                          int destHeight, int SrcX, int SrcY, int srcWidth, int srcHeight, const DrawOptions& options);

    // The platform encoders are the library's own writers here. The bytes go
    // to outStream and, with a file name, to that file (created or replaced
    // without asking). PNG: without the image's writer properties, which a
    // platform encoder would not know, and whether or not zlib is switched
    // off. JPEG: Quality 1 ... 100; transparent pixels shown over
    // TransFillColor (0x00BBGGRR).
    static bool SaveToPNG(const std::string& FileName, ByteArray& outStream, const cImage32& cHost);
    static bool SaveToJPG(const std::string& FileName, ByteArray& outStream, const cImage32& cHost, int Quality = 80,
                          uint32_t TransFillColor = 0);
};
