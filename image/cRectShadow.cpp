#include "image/cRectShadow.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "image/cImage32.h"

bool cRectShadow::Create(int pictureWidth, int pictureHeight, int blurDepth, uint32_t Color) {
    m_Rows.clear();
    m_Width = m_Height = 0;
    if (pictureWidth < 1 || pictureHeight < 1) return false;
    const int n = std::clamp(blurDepth, 0, 10) * 2;
    // A picture as high as the window has every distinct row at its top:
    // row k of its shadow covers k + 1 picture rows.
    const int distinct = std::min(pictureHeight, n + 1);
    if ((int64_t(pictureWidth) + n) * (distinct + n) > kMaxImagePixels) return false;
    cImage32 strip;
    if (!strip.InitializeDIBUncleared(pictureWidth, distinct)) return false;
    std::memset(strip.BitsPointer(), 0xFF, size_t(strip.scanWidth()) * size_t(distinct));
    const auto shadow = strip.CreateDropShadow(blurDepth, Color);
    if (!shadow) return false;
    const size_t rowBytes = size_t(shadow->scanWidth());
    try {
        m_Rows.resize(rowBytes * size_t(distinct));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int k = 0; k < distinct; ++k) std::memcpy(m_Rows.data() + size_t(k) * rowBytes, shadow->Row(k), rowBytes);
    m_Width = pictureWidth + n;
    m_Height = pictureHeight + n;
    m_PictureHeight = pictureHeight;
    m_Spread = n;
    return true;
}

const uint8_t* cRectShadow::Row(int y) const {
    // The window of row y spans picture rows y - n .. y.
    const int covered = std::min(y, m_PictureHeight - 1) - std::max(y - m_Spread, 0) + 1;
    return m_Rows.data() + size_t(covered - 1) * size_t(m_Width) * 4;
}
