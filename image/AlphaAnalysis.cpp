#include "image/AlphaAnalysis.h"

#include <algorithm>

namespace {

enum class ScanState { Valid, ColourUnderTransparent, NotPremultiplied };

void SetAllAlpha255(uint8_t* bits, size_t pixelCount) {
    for (size_t i = 0; i < pixelCount; ++i) bits[i * 4 + 3] = 255;
}

bool HasPartialAlpha(const uint8_t* bits, size_t from, size_t pixelCount) {
    for (size_t i = from; i < pixelCount; ++i) {
        const uint8_t a = bits[i * 4 + 3];
        if (a != 0 && a != 255) return true;
    }
    return false;
}

}  // namespace

AlphaClass AnalyseAlpha(uint8_t* bits, size_t pixelCount, bool premultiply) {
    ScanState state = ScanState::Valid;
    size_t transparent = 0, opaque = 0, stoppedAt = pixelCount;
    bool partial = false;
    for (size_t i = 0; i < pixelCount; ++i) {
        const uint8_t* p = bits + i * 4;
        const uint8_t a = p[3];
        const uint8_t maxColour = std::max({p[0], p[1], p[2]});
        if (a == 0) {
            if (state == ScanState::Valid && maxColour != 0) state = ScanState::ColourUnderTransparent;
            ++transparent;
        } else if (a == 255) {
            if (state == ScanState::ColourUnderTransparent) {
                state = ScanState::NotPremultiplied;
                stoppedAt = i;
                break;
            }
            ++opaque;
        } else {
            if (state == ScanState::ColourUnderTransparent || maxColour > a) {
                state = ScanState::NotPremultiplied;
                stoppedAt = i;
                break;
            }
            partial = true;
        }
    }

    AlphaClass result;
    if (transparent == pixelCount || opaque == pixelCount) {
        // Alpha bytes that are all 0 are an unused fourth byte, not a picture
        // that is meant to be invisible.
        if (premultiply) SetAllAlpha255(bits, pixelCount);
        return result;
    }
    if (state == ScanState::Valid) {
        result.ImageType = 7;
        result.Alpha = partial ? 2 : 1;
        return result;
    }

    result.ImageType = 6;
    // The scan stopped early; the class must still describe the whole picture.
    partial = partial || HasPartialAlpha(bits, stoppedAt, pixelCount);
    result.Alpha = partial ? 2 : 1;
    if (premultiply) {
        for (size_t i = 0; i < pixelCount; ++i) {
            uint8_t* p = bits + i * 4;
            const unsigned a = p[3];
            if (a == 255) continue;
            if (a == 0) {
                p[0] = p[1] = p[2] = 0;
                continue;
            }
            p[0] = uint8_t(p[0] * a / 255);
            p[1] = uint8_t(p[1] * a / 255);
            p[2] = uint8_t(p[2] * a / 255);
        }
    }
    return result;
}

AlphaClass MakeAlphaOpaque(uint8_t* bits, size_t pixelCount) {
    SetAllAlpha255(bits, pixelCount);
    return AlphaClass{1, 0};
}

AlphaClass ApplyDeclaredAlpha(uint8_t* bits, size_t pixelCount, bool premultiplied) {
    bool clear = false, partial = false;
    for (size_t i = 0; i < pixelCount; ++i) {
        uint8_t* p = bits + i * 4;
        const unsigned a = p[3];
        if (a == 255) continue;
        clear = clear || a == 0;
        partial = partial || a != 0;
        for (int c = 0; c < 3; ++c)
            p[c] = premultiplied ? uint8_t(std::min<unsigned>(p[c], a)) : uint8_t(p[c] * a / 255);
    }
    if (!clear && !partial) return AlphaClass{1, 0};
    return AlphaClass{premultiplied ? 7 : 6, partial ? 2 : 1};
}
