#pragma once
// The one image type of the library: Width x Height pixels of 4 bytes (Blue,
// Green, Red, Alpha), colours premultiplied by alpha, rows stored bottom-up
// without gaps (scanWidth = Width * 4). Every decoder fills one, every
// encoder reads one, and the output keeps its frames in them.
#include <any>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "image/DeviceContext.h"

using ByteArray = std::vector<uint8_t>;
class cPNGwriter;

// Largest picture any path of the library allocates (pixels).
inline constexpr int64_t kMaxImagePixels = int64_t(1) << 28;

// zlib is linked; this switch makes the library behave as if it were absent
// (no CRC checks, own inflate, no PNG writer), so that both ways stay tested.
void SetZlibEnabled(bool enabled);

// Capability flags (see CapabilityFlags()).
enum : int32_t {
    kCapAlphaBlendFriendly = 1,  // Render may use the blit path
    kCapGDIplusEnabled = 2,      // the cGDIPlus paths may be used
    kCapAlphaBlendNT = 8,        // the blit is available
    kCapAlphaBlendConsumer = 16,
    kCapNoGDIplus = 32,
    kCapUnicodeFiles = 64,
};

// A PNG writer property value; std::monostate means "no value" (remove).
using PngPropertyValue = std::variant<std::monostate, int64_t, std::string>;

class cImage32 {
public:
    cImage32();
    ~cImage32();
    cImage32(const cImage32&) = delete;
    cImage32& operator=(const cImage32&) = delete;

    // ---- life cycle and pixel access
    // Blank image (every byte 0, ImageType 0, Alpha 1). Needs Width > 0 and
    // Height != 0 (a negative Height counts as its absolute value: storage is
    // always bottom-up); more than kMaxImagePixels pixels fails.
    bool InitializeDIB(int Width, int Height);
    // Library-internal: as InitializeDIB but the pixels are left undefined,
    // for decoders that write every byte anyway.
    bool InitializeDIBUncleared(int Width, int Height);
    void EraseDIB();
    void DestroyDIB();
    int Width() const { return m_Width; }
    int Height() const { return m_Height; }
    int scanWidth() const { return m_Width * 4; }
    uint8_t* BitsPointer() { return m_Bits.get(); }
    const uint8_t* BitsPointer() const { return m_Bits.get(); }
    bool HasImage() const { return m_Bits != nullptr; }
    // Start of picture row y (0 = top row as seen); the image must exist.
    uint8_t* Row(int y) { return m_Bits.get() + size_t(m_Height - 1 - y) * size_t(scanWidth()); }
    const uint8_t* Row(int y) const { return m_Bits.get() + size_t(m_Height - 1 - y) * size_t(scanWidth()); }
    // The image's own buffer as a drawing target (bLoad true and an image
    // exists), else an empty context.
    DeviceContext LoadDIBinDC(bool bLoad);
    // Exchange pixel storage (and size, ImageType, Alpha) with another image.
    void SwapDIBs(cImage32& SwapFromDIB);

    // ---- properties
    int ImageType() const { return m_ImageType; }
    void SetImageType(int value) { m_ImageType = value; }  // library-internal (decoders)
    int Alpha() const { return m_Alpha; }
    void Alpha(int AlphaType) { m_Alpha = AlphaType; }
    bool HighQualityInterpolation() const { return m_HighQualityInterpolation; }
    void HighQualityInterpolation(bool Value) { m_HighQualityInterpolation = Value; }
    bool isAlphaBlendFriendly() const { return (m_Flags & kCapAlphaBlendFriendly) != 0; }
    void isAlphaBlendFriendly(bool Enabled);
    bool isGDIplusEnabled() const { return (m_Flags & kCapGDIplusEnabled) != 0; }
    void isGDIplusEnabled(bool Enabled);
    bool KeepGDIplusActive() const { return m_KeepGDIplusActive; }
    void KeepGDIplusActive(bool keepActive);
    long gdiToken() const { return m_gdiToken; }
    void gdiToken(long Token);
    int32_t CapabilityFlags() const { return m_Flags; }
    static bool isZlibEnabled();
    const std::any& Tag() const { return m_Tag; }
    void Tag(std::any vValue) { m_Tag = std::move(vValue); }

    // ---- loading (every load starts with DestroyDIB; a failed load leaves no image)
    bool LoadPicture_File(const std::string& FileName, int iconCx = 32, int iconCy = 32, bool SaveFormat = false,
                          int iconBitDepth = 32);
    // streamLength 0 means up to the end of inStream.
    bool LoadPicture_Stream(const ByteArray& inStream, int iconCx = 32, int iconCy = 32, size_t streamStart = 0,
                            size_t streamLength = 0, bool SaveFormat = false, int iconBitDepth = 32);
    // The undecoded source bytes kept by a load with SaveFormat.
    bool GetOriginalFormat(ByteArray& outStream) const;
    bool LoadPicture_FromOriginalFormat(int iconCx = 32, int iconCy = 32, int iconBitDepth = 32);
    void SetOriginalFormat(ByteArray bytes) { m_SourceBytes = std::move(bytes); }  // library-internal

    // Makes cDIBclass a copy of this picture (pixels, ImageType, Alpha), its
    // own settings unchanged. A new size other than 0 resamples the copy as
    // Resize does here (a negative one mirrors); CopyOriginalFormat also
    // copies the kept source bytes. False, with cDIBclass untouched, when
    // there is no image, the target is this image, or the copy cannot be made.
    bool CopyImageTo(cImage32& cDIBclass, int newWidth = 0, int newHeight = 0, bool CopyOriginalFormat = false) const;

    // ---- rendering and pixel operations
    // Draws the picture onto destinationDC, or into destHostDIB when given.
    // Sizes 0 mean the image's own; a negative srcWidth/srcHeight mirrors.
    // The drawn rectangle is [destX, destX + |destWidth|) x [destY, destY +
    // |destHeight|), mirrored content included. Opacity in percent; grayScale
    // -1 none, 0..7 a grey formula; Angle in degrees, clockwise. Blend and
    // SetHalfTone are accepted and change nothing.
    bool Render(const DeviceContext* destinationDC, int destX = 0, int destY = 0, int destWidth = 0,
                int destHeight = 0, int SrcX = 0, int SrcY = 0, int srcWidth = 0, int srcHeight = 0,
                int Opacity = 100, bool Blend = true, bool SetHalfTone = true, cImage32* destHostDIB = nullptr,
                int grayScale = -1, float LightAdjustment = 0.0f, float Angle = 0.0f,
                bool CenterOnDestXY = false);
    void ScaleImage(int destWidth, int destHeight, int& newWidth, int& newHeight, int ScaleMode = 1) const;
    bool Resize(int newWidth, int newHeight);
    bool RemoveAlpha();
    bool MakeLighterDarker(float Percent);
    // BlendColor is 0x00BBGGRR.
    bool BlendToColor(uint32_t BlendColor, int BlendOpacity = 33);
    // A new image holding the blurred shadow of this one's alpha, or null.
    std::unique_ptr<cImage32> CreateDropShadow(int blurDepth = 4, uint32_t Color = 0xC0C0C0);
    // Every colour becomes its grey by the weights of grey formula Formula
    // (as Render's grayScale; -1 changes nothing). False without an image.
    bool MakeGrayScale(int Formula);
    // Mirrors in place: MirrorAxisX reverses left and right, MirrorAxisY top
    // and bottom. False without an image.
    bool MirrorImage(bool MirrorAxisX, bool MirrorAxisY);

    // ---- savers. The file forms share PrepareSaveFile.
    bool SaveToFile_Bitmap(const std::string& FileName, bool KeepPreMultipliedPixels = false,
                           uint32_t TransparentFillColor = 0, bool PromptOverwrite = true);
    bool SaveToStream_Bitmap(ByteArray& outStream, bool KeepPreMultipliedPixels = false,
                             uint32_t TransparentFillColor = 0);
    bool SaveToFile_PNG(const std::string& FileName, bool PromptOverwrite = true);
    bool SaveToStream_PNG(ByteArray& outStream);
    bool PngPropertySet(int PropertyID, const PngPropertyValue& PropertyValue = {},
                        const std::string& Caption_Misc = "");
    PngPropertyValue PngPropertyGet(int PropertyID, const std::string& Caption_Misc = "") const;
    bool SaveToFile_JPG(const std::string& FileName, int Quality = 70, uint32_t TransparentFillColor = 0,
                        bool PromptOverwrite = true);
    bool SaveToStream_JPG(ByteArray& outStream, int Quality = 70);
    bool SaveToFile_GIF(const std::string& FileName, bool UseAdaptivePalette = true, int OpaquenessTolerance = 128,
                        bool PromptOverwrite = true);
    bool SaveToStream_GIF(ByteArray& outStream, bool UseAdaptivePalette = true, int OpaquenessTolerance = 128);
    bool SaveToFile_TGA(const std::string& FileName, bool Compress = false, bool ReduceBitDepth = false,
                        bool AllowPreMultipliedPixels = false, bool PromptOverwrite = true);
    bool SaveToStream_TGA(ByteArray& outStream, bool Compress = false, bool ReduceBitDepth = false,
                          bool AllowPreMultipliedPixels = false);

    // Library-internal, for every SaveToFile_ member: the name must not be
    // empty and an image must exist; an existing file is (after the overwrite
    // question when PromptOverwrite) deleted. True when the file may be written.
    bool PrepareSaveFile(const std::string& FileName, bool PromptOverwrite) const;
    // Library-internal: writes bytes to a new file; false on any error.
    static bool WriteBytesToFile(const std::string& FileName, const uint8_t* data, size_t size);

    // The PNG writer's properties (created by PngPropertySet); null when none.
    std::shared_ptr<cPNGwriter>& PngWriterProperties() { return m_PngWriter; }

private:
    bool Allocate(int Width, int Height, bool zeroed);

    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };

    std::any m_Tag;
    bool m_HighQualityInterpolation = false;
    std::unique_ptr<uint8_t, FreeDeleter> m_Bits;
    int m_Height = 0;
    int m_Width = 0;
    int32_t m_Flags = 0;
    int m_ImageType = -1;
    int m_Alpha = 0;
    long m_gdiToken = 0;
    ByteArray m_SourceBytes;
    bool m_KeepGDIplusActive = false;
    std::shared_ptr<cPNGwriter> m_PngWriter;
};
