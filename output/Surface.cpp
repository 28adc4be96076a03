#include "output/Surface.h"

#include <algorithm>
#include <cstring>

void PictureSurface::SetSize(int width, int height) {
    m_Width = std::max(width, 0);
    m_Height = std::max(height, 0);
    if (int64_t(m_Width) * m_Height > kMaxImagePixels) m_Width = m_Height = 0;
    m_Drawing.assign(size_t(m_Width) * size_t(m_Height), 0);
    m_Persistent.DestroyDIB();
    m_HasPersistent = false;
    Clear();
}

void PictureSurface::Clear() {
    if (m_Drawing.empty()) return;
    if (m_HasPersistent) {
        for (int y = 0; y < m_Height; ++y)
            std::memcpy(m_Drawing.data() + size_t(y) * size_t(m_Width), m_Persistent.Row(y), size_t(m_Width) * 4);
        return;
    }
    // The background is opaque: 0xFFRRGGBB in memory order B, G, R, A.
    const uint32_t r = m_BackColor & 0xFF, g = (m_BackColor >> 8) & 0xFF, b = (m_BackColor >> 16) & 0xFF;
    const uint32_t pixel = 0xFF000000u | (r << 16) | (g << 8) | b;
    std::fill(m_Drawing.begin(), m_Drawing.end(), pixel);
}

void PictureSurface::MakePersistent() {
    if (m_Drawing.empty()) return;
    m_HasPersistent = false;
    if (!m_Persistent.HasImage() || m_Persistent.Width() != m_Width || m_Persistent.Height() != m_Height) {
        if (!m_Persistent.InitializeDIBUncleared(m_Width, m_Height)) return;
    }
    for (int y = 0; y < m_Height; ++y)
        std::memcpy(m_Persistent.Row(y), m_Drawing.data() + size_t(y) * size_t(m_Width), size_t(m_Width) * 4);
    m_Persistent.SetImageType(0);
    m_Persistent.Alpha(1);
    m_HasPersistent = true;
}

void PictureSurface::Repaint() {
    if (m_Presenter) m_Presenter->Present(*this);
}

DeviceContext PictureSurface::DC() {
    if (m_Drawing.empty()) return {};
    return DeviceContext::TopDown(reinterpret_cast<uint8_t*>(m_Drawing.data()), m_Width, m_Height, Stride());
}

uint32_t PictureSurface::PixelAt(int x, int y) const {
    return m_Drawing[size_t(y) * size_t(m_Width) + size_t(x)];
}
