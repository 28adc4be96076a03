#include "image/cImage32.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "image/ImageDialogs.h"
#include "image/LoadGuard.h"
#include "image/cGDIPlus.h"
#include "image/modParsers.h"

namespace {
std::atomic<bool> g_ZlibEnabled{true};
}  // namespace

void SetZlibEnabled(bool enabled) { g_ZlibEnabled = enabled; }
bool cImage32::isZlibEnabled() { return g_ZlibEnabled; }

void cImage32::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

cImage32::cImage32() {
    // This platform has the blending blit (own code) and Unicode file names.
    m_Flags = kCapAlphaBlendFriendly | kCapAlphaBlendNT | kCapUnicodeFiles;
    isGDIplusEnabled(true);
    if (isGDIplusEnabled()) m_HighQualityInterpolation = true;
}

cImage32::~cImage32() { DestroyDIB(); }

bool cImage32::InitializeDIB(int Width, int Height) { return Allocate(Width, Height, true); }

bool cImage32::InitializeDIBUncleared(int Width, int Height) { return Allocate(Width, Height, false); }

bool cImage32::Allocate(int Width, int Height, bool zeroed) {
    DestroyDIB();
    if (Width <= 0 || Height == 0 || Height == INT32_MIN) return false;
    if (Height < 0) Height = -Height;
    const int64_t pixels = int64_t(Width) * int64_t(Height);
    if (pixels > kMaxImagePixels) return false;
    // calloc hands out fresh zero pages for large pictures without writing them.
    void* p = zeroed ? std::calloc(size_t(pixels), 4) : std::malloc(size_t(pixels) * 4);
    if (!p) return false;
    m_Bits.reset(static_cast<uint8_t*>(p));
    m_Width = Width;
    m_Height = Height;
    m_ImageType = 0;
    m_Alpha = 1;
    return true;
}

void cImage32::EraseDIB() {
    if (!m_Bits) return;
    std::memset(m_Bits.get(), 0, size_t(m_Width) * size_t(m_Height) * 4);
    m_ImageType = 0;
    m_Alpha = 1;
}

void cImage32::DestroyDIB() {
    if (m_Bits) {
        m_Bits.reset();
        m_SourceBytes.clear();
    }
    m_ImageType = -1;
    m_Width = m_Height = 0;
    m_Alpha = 0;
}

DeviceContext cImage32::LoadDIBinDC(bool bLoad) {
    if (!bLoad || !m_Bits) return DeviceContext{};
    return DeviceContext{m_Bits.get(), m_Width, m_Height, scanWidth(), true};
}

void cImage32::SwapDIBs(cImage32& other) {
    std::swap(m_Bits, other.m_Bits);
    std::swap(m_Width, other.m_Width);
    std::swap(m_Height, other.m_Height);
    std::swap(m_ImageType, other.m_ImageType);
    std::swap(m_Alpha, other.m_Alpha);
}

void cImage32::isAlphaBlendFriendly(bool Enabled) {
    if (Enabled) {
        if (m_Flags & (kCapAlphaBlendNT | kCapAlphaBlendConsumer)) m_Flags |= kCapAlphaBlendFriendly;
    } else {
        m_Flags &= ~kCapAlphaBlendFriendly;
    }
}

void cImage32::isGDIplusEnabled(bool Enabled) {
    if (Enabled != isGDIplusEnabled()) m_Flags &= ~kCapGDIplusEnabled;
    if (Enabled && !(m_Flags & kCapNoGDIplus)) {
        if (cGDIPlus().isGDIplusOk()) m_Flags |= kCapGDIplusEnabled;
    }
}

// The drawing engine keeps no state between draws here (no wrapped bitmap
// over the buffer), so keeping it active and the caller's token only steer
// Render's choice of path.
void cImage32::KeepGDIplusActive(bool keepActive) { m_KeepGDIplusActive = keepActive && isGDIplusEnabled(); }

void cImage32::gdiToken(long Token) { m_gdiToken = Token; }

bool cImage32::LoadPicture_File(const std::string& FileName, int iconCx, int iconCy, bool SaveFormat,
                                int iconBitDepth) {
    DestroyDIB();
    if (FileName.empty()) return false;
    std::FILE* file = std::fopen(FileName.c_str(), "rb");
    if (!file) return false;
    struct stat st {};
    bool ok = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 56;
    if (ok) ok = LoadPicture_Core(*this, file, FileName, nullptr, iconCx, iconCy, 0, 0, SaveFormat, iconBitDepth);
    std::fclose(file);
    return ok;
}

bool cImage32::LoadPicture_Stream(const ByteArray& inStream, int iconCx, int iconCy, size_t streamStart,
                                  size_t streamLength, bool SaveFormat, int iconBitDepth) {
    DestroyDIB();
    if (inStream.empty() || streamStart >= inStream.size()) return false;
    const size_t available = inStream.size() - streamStart;
    if (streamLength == 0) streamLength = available;
    // A range reaching past the array is inconsistent data, not something to guess at.
    if (streamLength > available || streamLength < 20) return false;
    return LoadPicture_Core(*this, nullptr, "", &inStream, iconCx, iconCy, streamStart, streamLength, SaveFormat,
                            iconBitDepth);
}

bool cImage32::CopyImageTo(cImage32& cDIBclass, int newWidth, int newHeight, bool CopyOriginalFormat) const {
    if (!m_Bits || &cDIBclass == this) return false;
    // Made apart and resampled with this image's settings, then handed over,
    // so that a failure leaves the target as it was.
    cImage32 copy;
    if (!copy.InitializeDIBUncleared(m_Width, m_Height)) return false;
    std::memcpy(copy.m_Bits.get(), m_Bits.get(), size_t(m_Width) * size_t(m_Height) * 4);
    copy.m_ImageType = m_ImageType;
    copy.m_Alpha = m_Alpha;
    copy.m_Flags = m_Flags;
    copy.m_HighQualityInterpolation = m_HighQualityInterpolation;
    if (!copy.Resize(newWidth, newHeight)) return false;
    cDIBclass.DestroyDIB();
    cDIBclass.SwapDIBs(copy);
    if (CopyOriginalFormat) cDIBclass.m_SourceBytes = m_SourceBytes;
    return true;
}

bool cImage32::GetOriginalFormat(ByteArray& outStream) const {
    if (m_SourceBytes.empty()) return false;
    outStream = m_SourceBytes;
    return true;
}

bool cImage32::LoadPicture_FromOriginalFormat(int iconCx, int iconCy, int iconBitDepth) {
    // The load starts by dropping the kept bytes: it reads a copy of them.
    return GuardLoad(*this, false, [&] {
        const ByteArray copy = m_SourceBytes;
        return LoadPicture_Stream(copy, iconCx, iconCy, 0, 0, true, iconBitDepth);
    });
}

bool cImage32::PrepareSaveFile(const std::string& FileName, bool PromptOverwrite) const {
    if (FileName.empty() || !m_Bits) return false;
    struct stat st {};
    if (lstat(FileName.c_str(), &st) != 0) return true;
    // Only a file is replaced; a folder of that name is never removed.
    if (S_ISDIR(st.st_mode)) return false;
    if (PromptOverwrite && !AskImageQuestion("Overwrite existing file?", "Overwrite Confirmation")) return false;
    return std::remove(FileName.c_str()) == 0;
}

bool cImage32::WriteBytesToFile(const std::string& FileName, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(FileName.c_str(), "wb");
    if (!file) return false;
    bool ok = std::fwrite(data, 1, size, file) == size;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) std::remove(FileName.c_str());
    return ok;
}
