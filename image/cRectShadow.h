#pragma once
// The drop shadow of a fully opaque picture of Width x Height pixels, pixel
// for pixel as cImage32::CreateDropShadow makes it of such a picture, but
// held as its distinct rows only: a shadow row depends on nothing but how
// many picture rows its blur window covers, so at most blurDepth x 2 + 1 rows
// differ. Every picture the library can hold then has a shadow of a few MB,
// where the whole image would be larger than the picture itself.
#include <cstdint>
#include <vector>

#include "image/DeviceContext.h"

class cRectShadow {
public:
    // blurDepth and Color as CreateDropShadow takes them. False (no shadow)
    // for an empty size, or when the distinct rows alone would pass the
    // library's pixel limit.
    bool Create(int pictureWidth, int pictureHeight, int blurDepth, uint32_t Color);
    bool HasShadow() const { return !m_Rows.empty(); }
    int Width() const { return m_Width; }
    int Height() const { return m_Height; }
    // Picture row y (0 = top) of the shadow; 0 <= y < Height().
    const uint8_t* Row(int y) const;
    // Draws as cImage32::Render draws the image CreateDropShadow returns
    // (high-quality interpolation, the drawing engine enabled), the whole
    // shadow, without grey, light adjustment or rotation.
    bool Render(const DeviceContext& dc, int destX, int destY, int destWidth, int destHeight, int Opacity,
                bool CenterOnDestXY) const;

private:
    int m_Width = 0, m_Height = 0, m_PictureHeight = 0, m_Spread = 0;
    std::vector<uint8_t> m_Rows;  // row k: the row whose window covers k + 1 picture rows
};
