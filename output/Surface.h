#pragma once
// A picture surface of the output (picStillA, picStillB): a top-down buffer of
// premultiplied BGRA pixels (the drawing) that Render draws into, a
// background colour, and an optional persistent picture that clearing
// returns to. Repainting hands the drawing to the presenter, if any.
#include <cstdint>
#include <vector>

#include "image/DeviceContext.h"
#include "image/cImage32.h"

class PictureSurface;

// Puts a surface's drawing on screen at once (the output window does).
class SurfacePresenter {
public:
    virtual ~SurfacePresenter() = default;
    virtual void Present(const PictureSurface& surface) = 0;
};

class PictureSurface {
public:
    // Resizes the drawing (cleared to the background colour) and drops the
    // persistent picture. Negative sizes count as 0.
    void SetSize(int width, int height);
    int Width() const { return m_Width; }
    int Height() const { return m_Height; }

    // Colour 0x00BBGGRR; takes effect at the next Clear.
    void SetBackColor(uint32_t color) { m_BackColor = color; }
    uint32_t BackColor() const { return m_BackColor; }

    // Drawing back to the persistent picture, or to the plain background.
    void Clear();
    // The drawing becomes the persistent picture.
    void MakePersistent();
    void RemovePersistentPicture() { m_HasPersistent = false; }
    bool HasPersistentPicture() const { return m_HasPersistent; }
    // Valid while HasPersistentPicture(); a bottom-up image of the surface size.
    const cImage32& PersistentPicture() const { return m_Persistent; }

    void SetPresenter(SurfacePresenter* presenter) { m_Presenter = presenter; }
    void Repaint();

    // Render's target for this surface (empty while the surface has no area).
    DeviceContext DC();
    const uint8_t* Bits() const { return reinterpret_cast<const uint8_t*>(m_Drawing.data()); }
    ptrdiff_t Stride() const { return ptrdiff_t(m_Width) * 4; }
    // Pixel (x, y) as 0xAARRGGBB; the position must lie inside the surface.
    uint32_t PixelAt(int x, int y) const;

private:
    int m_Width = 0;
    int m_Height = 0;
    uint32_t m_BackColor = 0;
    std::vector<uint32_t> m_Drawing;  // one 0xAARRGGBB value per pixel, rows top-down
    cImage32 m_Persistent;  // its storage is kept for the next one while there is none
    bool m_HasPersistent = false;
    SurfacePresenter* m_Presenter = nullptr;
};
