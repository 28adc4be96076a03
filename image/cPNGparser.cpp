// PNG decoder. Format: ISO/IEC 15948 (PNG, second edition).
// Stages: chunk walk (IDAT data left where it lies) -> inflate through a
// small window -> per row as it arrives: unfilter, convert to premultiplied
// BGRA.
#include "image/cPNGparser.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/ByteReader.h"
#include "image/Inflate.h"
#include "image/LoadGuard.h"
#include "image/PngRows.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// Deflate cannot expand one input byte to more than 1032 output bytes (a
// 258-byte match costs at least two bits), so a larger claimed size is
// impossible and is refused before any allocation.
constexpr uint64_t kMaxDeflateRatio = 1032;

using Error = cPNGparser::Error;

// Where the chunks come from: the caller's bytes in place, or an open file.
class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    virtual size_t Size() const = 0;
    // Copies n bytes at pos (which the caller has range-checked) into dst.
    virtual bool Read(size_t pos, size_t n, uint8_t* dst) = 0;
    // The bytes in place, or null when they must be read.
    virtual const uint8_t* InPlace(size_t pos) const = 0;
};

class MemorySource final : public ChunkSource {
public:
    MemorySource(const uint8_t* d, size_t n) : data_(d), size_(n) {}
    size_t Size() const override { return size_; }
    bool Read(size_t pos, size_t n, uint8_t* dst) override {
        std::memcpy(dst, data_ + pos, n);
        return true;
    }
    const uint8_t* InPlace(size_t pos) const override { return data_ + pos; }

private:
    const uint8_t* data_;
    size_t size_;
};

class FileSource final : public ChunkSource {
public:
    FileSource(std::FILE* f, size_t size) : f_(f), size_(size) {}
    size_t Size() const override { return size_; }
    bool Read(size_t pos, size_t n, uint8_t* dst) override {
        if (pos != at_ && fseeko(f_, off_t(pos), SEEK_SET) != 0) return false;
        const size_t got = std::fread(dst, 1, n, f_);
        at_ = pos + got;
        return got == n;
    }
    const uint8_t* InPlace(size_t) const override { return nullptr; }

private:
    std::FILE* f_;
    size_t size_;
    size_t at_ = size_t(-1);
};

bool CrcMatches(const uint8_t* type, const uint8_t* data, size_t n, uint32_t stored) {
    uLong c = crc32_z(0, type, 4);
    c = crc32_z(c, data, n);
    return c != 0 && uint32_t(c) == stored;  // a computed 0 counts as a mismatch
}

struct PngState {
    PngFormat fmt;
    bool haveHeader = false;
    uint8_t palette[768] = {};
    int paletteEntries = 0;
    bool haveTrns = false;
    uint8_t trns[256];
    size_t trnsLen = 0;
    // IDAT data: where it lies when the source is memory, otherwise read
    // into zbuf (spans then made at the end of the walk).
    std::vector<InflateSpan> idat;
    ByteArray zbuf;
    size_t zLen = 0;
};

Error ReadHeader(const uint8_t* d, size_t n, PngState& s) {
    if (s.haveHeader || n < 13) return Error::BadHeader;
    PngFormat& f = s.fmt;
    f.width = LoadU32BE(d);
    f.height = LoadU32BE(d + 4);
    f.depth = d[8];
    f.colorType = d[9];
    f.interlace = d[12];
    if (f.width < 1 || f.height < 1 || f.width > 0x7FFFFFFF || f.height > 0x7FFFFFFF) return Error::BadHeader;
    if (d[10] != 0 || d[11] != 0 || f.interlace > 1) return Error::BadHeader;
    if (f.depth != 1 && f.depth != 2 && f.depth != 4 && f.depth != 8 && f.depth != 16) return Error::BadHeader;
    // Colour type and depth are cross-checked as well: a forbidden pair
    // (RGB at 4 bits, palette at 16...) has no meaning to convert.
    switch (f.colorType) {
    case 0: break;
    case 3: if (f.depth == 16) return Error::BadHeader; break;
    case 2: case 4: case 6: if (f.depth < 8) return Error::BadHeader; break;
    default: return Error::BadHeader;
    }
    if (uint64_t(f.width) * 32 * f.height > 0x7FFFFFFF) return Error::BadHeader;
    s.haveHeader = true;
    return Error::None;
}

void ReadTransparency(const uint8_t* d, size_t n, PngState& s) {
    switch (s.fmt.colorType) {
    case 0: if (n < 2) return; break;
    case 2: if (n < 6) return; break;
    case 3: break;
    default: return;  // grey+alpha and RGBA carry their own alpha
    }
    s.trnsLen = std::min<size_t>(n, 256);
    std::memcpy(s.trns, d, s.trnsLen);
    s.haveTrns = true;
}

Error WalkChunks(ChunkSource& src, PngState& s) {
    const bool checkCrc = cImage32::isZlibEnabled();
    const size_t size = src.Size();
    ByteArray scratch;
    size_t pos = 8;
    while (pos < size) {
        if (size - pos < 12) return Error::Truncated;
        uint8_t head[8];
        if (!src.Read(pos, 8, head)) return Error::Truncated;
        const uint32_t len = LoadU32BE(head);
        const uint8_t* type = head + 4;
        if (len > size - pos - 12) return Error::Truncated;
        const size_t dataPos = pos + 8, next = pos + 12 + size_t(len);
        if (std::memcmp(type, "IEND", 4) == 0) break;
        pos = next;

        const bool idat = std::memcmp(type, "IDAT", 4) == 0;
        const bool ihdr = std::memcmp(type, "IHDR", 4) == 0;
        const bool plte = std::memcmp(type, "PLTE", 4) == 0;
        const bool trns = std::memcmp(type, "tRNS", 4) == 0;
        if (!idat && !ihdr && !plte && !trns) continue;
        // A chunk without data is skipped, but only after its CRC is checked.
        if (len > 0 && !ihdr && !s.haveHeader) return Error::BadHeader;  // IHDR must come first

        const uint8_t* data = len == 0 ? type : src.InPlace(dataPos);
        if (!data) {
            ByteArray& into = idat ? s.zbuf : scratch;
            const size_t old = idat ? s.zLen : 0;
            // Gathered IDAT data gets half the file's size at first and grows
            // by a quarter of it, so a picture costs few regrowths.
            if (idat && into.capacity() < old + len)
                into.reserve(std::max(old + len, into.capacity() ? into.capacity() + size / 4 : size / 2));
            into.resize(old + len);
            if (!src.Read(dataPos, len, into.data() + old)) return Error::Truncated;
            data = into.data() + old;
        }
        if (checkCrc) {
            uint8_t crc[4];
            if (!src.Read(dataPos + len, 4, crc)) return Error::Truncated;
            if (!CrcMatches(type, data, len, LoadU32BE(crc))) {
                if (trns) continue;  // a damaged tRNS is only ignored
                return Error::BadCrc;
            }
        }
        if (len == 0) continue;
        if (idat) {
            if (src.InPlace(dataPos)) s.idat.push_back({data, len});
            s.zLen += len;
        } else if (ihdr) {
            if (Error e = ReadHeader(data, len, s); e != Error::None) return e;
        } else if (plte) {
            const int ct = s.fmt.colorType;
            if (ct == 2 || ct == 3 || ct == 6) {
                if (len % 3 != 0) return Error::BadPalette;
                s.paletteEntries = int(std::min<size_t>(len / 3, 256));
                std::memcpy(s.palette, data, size_t(s.paletteEntries) * 3);
            }
        } else {
            ReadTransparency(data, len, s);
        }
    }
    if (!s.haveHeader) return Error::BadHeader;
    if (s.zLen == 0) return Error::NoImageData;
    if (!s.zbuf.empty()) s.idat.push_back({s.zbuf.data(), s.zLen});
    return Error::None;
}

// The colour table the indexed conversions look up, premultiplied BGRA.
void BuildIndexTable(const PngState& s, uint32_t* lut) {
    const PngFormat& f = s.fmt;
    if (f.colorType == 0) {
        const int levels = (1 << std::min(f.depth, 8)) - 1;
        for (int i = 0; i < 256; ++i) {
            const uint32_t g = uint32_t(std::min(i, levels) * (255 / levels));
            lut[i] = 0xFF000000u | g << 16 | g << 8 | g;
        }
        if (s.haveTrns && f.depth <= 8) lut[s.trns[1] & levels] = 0;
        return;
    }
    uint8_t rgb[768] = {};
    if (s.paletteEntries > 0) std::memcpy(rgb, s.palette, size_t(s.paletteEntries) * 3);
    else if (f.depth == 1) rgb[3] = rgb[4] = rgb[5] = 255;
    for (int i = 0; i < 256; ++i) {
        const uint32_t a = s.haveTrns && size_t(i) < s.trnsLen ? s.trns[i] : 255;
        lut[i] = PremultiplyPixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], a);
    }
}

Error Decode(PngState& s, cImage32& img) {
    const PngFormat& f = s.fmt;
    const uint64_t rawSize = PngRawSize(f);
    if (rawSize > uint64_t(s.zLen) * kMaxDeflateRatio + kMaxDeflateRatio) return Error::Decompression;

    PngConvertContext ctx;
    ctx.fmt = f;
    if (f.colorType == 3 || (f.colorType == 0 && f.depth <= 8)) BuildIndexTable(s, ctx.lut);
    if (s.haveTrns && f.colorType == 0 && f.depth == 16) {
        ctx.hasKey = true;
        ctx.key[0] = uint16_t(s.trns[0] << 8 | s.trns[1]);
    } else if (s.haveTrns && f.colorType == 2) {
        ctx.hasKey = true;
        for (int c = 0; c < 3; ++c) ctx.key[c] = uint16_t(s.trns[2 * c] << 8 | s.trns[2 * c + 1]);
    }
    // Every pixel is written below when the data is whole; otherwise the
    // picture is dropped.
    if (!img.InitializeDIBUncleared(int(f.width), int(f.height))) return Error::Allocation;
    PngRowDecoder rows(ctx, img);
    if (!OwnInflate(s.idat.data(), s.idat.size(), size_t(rawSize), rows)) return Error::Decompression;

    img.Alpha(f.colorType == 4 || f.colorType == 6 ? 2 : s.haveTrns ? 1 : 0);
    img.SetImageType(10);
    return Error::None;
}

// The whole decode of data known to be PNG; running out of memory fails it
// as damaged data does.
Error DecodeFrom(ChunkSource& src, cImage32& img) {
    img.DestroyDIB();
    const Error e = GuardLoad(img, Error::Allocation, [&] {
        PngState s;
        const Error walked = WalkChunks(src, s);
        return walked == Error::None ? Decode(s, img) : walked;
    });
    if (e != Error::None) img.DestroyDIB();
    return e;
}

}  // namespace

bool IsPngSignature(const uint8_t* p) { return std::memcmp(p, kSignature, 8) == 0; }

bool cPNGparser::LoadBytes(const uint8_t* data, size_t size, cImage32& dibClass) {
    m_Error = Error::NotPng;
    if (!data || size < 8 || !IsPngSignature(data)) return false;
    MemorySource src(data, size);
    m_Error = DecodeFrom(src, dibClass);
    return true;
}

bool cPNGparser::LoadStream(const ByteArray& Stream, cImage32& dibClass, size_t streamOffset, size_t streamLength,
                            long) {
    m_Error = Error::NotPng;
    if (streamOffset >= Stream.size()) return false;
    const size_t avail = Stream.size() - streamOffset;
    const size_t n = streamLength == 0 ? avail : std::min(streamLength, avail);
    return LoadBytes(Stream.data() + streamOffset, n, dibClass);
}

bool cPNGparser::LoadFile(std::FILE* FileHandle, const std::string&, cImage32& dibClass, long) {
    m_Error = Error::NotPng;
    if (!FileHandle || fseeko(FileHandle, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(FileHandle);
    if (end <= 56) return false;
    FileSource src(FileHandle, size_t(end));
    uint8_t sig[8];
    if (!src.Read(0, 8, sig) || !IsPngSignature(sig)) return false;
    m_Error = DecodeFrom(src, dibClass);
    return true;
}
