// TGA decoder and encoder for the Truevision TGA file format, version 2.0
// (1989): 18-byte header, image ID, colour map, pixels, and the
// optional extension area located through the 26-byte footer.
#include "image/cTGAparser.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>

#include "image/AlphaAnalysis.h"
#include "image/ByteReader.h"
#include "image/LoadGuard.h"
#include "image/WriterCommon.h"

namespace {

constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // followed by a NUL
constexpr size_t kFooterSize = 26, kExtensionSize = 495, kHeaderSize = 18;

struct TgaHeader {
    uint32_t idLength, mapType, type, mapFirst, mapLength, mapEntryBits, width, height, depth, descriptor;
};

bool IsRle(uint32_t type) { return type >= 9; }
bool IsMapped(uint32_t type) { return type == 1 || type == 9; }
bool IsGrey(uint32_t type) { return type == 3 || type == 11; }

// 5-bit channel to 8 bits: i * 8 + i mod 8 (31 gives 255, 16 gives 128).
inline uint32_t Expand5(uint32_t i) { return i * 8 + (i % 8); }
inline uint32_t From555(uint32_t v) {
    return Expand5(v & 31) | Expand5((v >> 5) & 31) << 8 | Expand5((v >> 10) & 31) << 16 | 0xFF000000u;
}

// Straight BGRA of one stored pixel (or colour-map entry) of `bytes` bytes.
struct PixelReader {
    uint32_t type = 0, bytes = 0;
    bool alphaUsable = true, attributeBits = false;
    const uint32_t* map = nullptr;
    uint32_t mapFirst = 0, mapLength = 0;

    uint32_t operator()(const uint8_t* p) const {
        if (IsMapped(type)) {
            const uint32_t index = bytes == 1 ? p[0] : LoadU16LE(p);
            // An index outside the map has no colour: opaque black.
            return index >= mapFirst && index - mapFirst < mapLength ? map[index - mapFirst] : 0xFF000000u;
        }
        if (IsGrey(type)) {
            // 16-bit grey is grey plus an 8-bit alpha, not 5-5-5 colour.
            const uint32_t a = bytes == 2 && alphaUsable && attributeBits ? p[1] : 255;
            return a << 24 | uint32_t(p[0]) * 0x010101u;
        }
        switch (bytes) {
        case 2: {
            const uint32_t v = LoadU16LE(p);
            // With a declared attribute bit, a set bit 15 marks a clear pixel.
            if (attributeBits && alphaUsable && (v & 0x8000)) return From555(v) & 0x00FFFFFFu;
            return From555(v);
        }
        case 3: return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        default: return (alphaUsable ? uint32_t(p[3]) << 24 : 0xFF000000u) | uint32_t(p[2]) << 16 |
                        uint32_t(p[1]) << 8 | p[0];
        }
    }
};

uint32_t MapEntry(const uint8_t* p, uint32_t bits, bool alphaUsable) {
    switch (bits) {
    case 8: return 0xFF000000u | uint32_t(p[0]) * 0x010101u;
    case 15: case 16: return From555(LoadU16LE(p));
    case 24: return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    default: return (alphaUsable ? uint32_t(p[3]) << 24 : 0xFF000000u) | uint32_t(p[2]) << 16 |
                    uint32_t(p[1]) << 8 | p[0];
    }
}

bool HasFooter(const uint8_t* data, size_t size) {
    if (size < 24) return false;
    const uint8_t* tail = data + size - 23;
    const size_t n = sizeof kFooterSignature - 1;
    return std::search(tail, tail + 23, kFooterSignature, kFooterSignature + n) != tail + 23;
}

// What the extension area's attributes type says of the alpha bytes.
enum class AlphaMeaning { Unstated, Unused, Straight, Premultiplied };

AlphaMeaning ReadAlphaMeaning(const ByteReader& r, bool footer) {
    uint32_t ext, extSize, attributes;
    if (!footer || !r.U32LE(r.size - kFooterSize, ext) || ext == 0 || !r.Has(ext, kExtensionSize))
        return AlphaMeaning::Unstated;
    if (!r.U16LE(ext, extSize) || extSize != kExtensionSize || !r.U8(ext + 494, attributes))
        return AlphaMeaning::Unstated;
    switch (attributes) {
    case 0: case 1: case 2: return AlphaMeaning::Unused;
    case 3: return AlphaMeaning::Straight;
    case 4: return AlphaMeaning::Premultiplied;
    default: return AlphaMeaning::Unstated;
    }
}

bool DecodeTga(const uint8_t* data, size_t size, cImage32& cHost) {
    if (!data) return false;
    const bool footer = HasFooter(data, size);
    if (size <= kHeaderSize) return false;
    const uint8_t* d = data;
    const TgaHeader h = {d[0], d[1], d[2], LoadU16LE(d + 3), LoadU16LE(d + 5), d[7], LoadU16LE(d + 12),
                         LoadU16LE(d + 14), d[16], d[17]};
    if (h.type != 1 && h.type != 2 && h.type != 3 && h.type != 9 && h.type != 10 && h.type != 11) return false;
    if (h.width < 1 || h.height < 1) return false;
    uint32_t bytes;
    switch (h.depth) {
    case 8: bytes = 1; break;
    case 15: case 16: bytes = 2; break;
    case 24: bytes = 3; break;
    case 32: bytes = 4; break;
    default: return false;
    }
    // Combinations without a meaning of their own are refused, so nothing
    // below reads a pixel of a size its type does not have.
    if (IsGrey(h.type) && bytes > 2) return false;
    if (IsMapped(h.type) && bytes > 2) return false;
    if (!IsMapped(h.type) && !IsGrey(h.type) && bytes == 1) return false;
    const bool hasMap = h.mapType == 1;
    if (IsMapped(h.type) && !hasMap) return false;
    uint64_t mapBytes = 0;
    if (hasMap) {
        if (h.mapLength < 1) return false;
        switch (h.mapEntryBits) {
        case 8: case 24: case 32: mapBytes = uint64_t(h.mapLength) * h.mapEntryBits / 8; break;
        case 15: case 16: mapBytes = uint64_t(h.mapLength) * 2; break;
        default: return false;
        }
    }
    const uint64_t pixels = uint64_t(h.width) * h.height;
    const uint64_t dataAt = kHeaderSize + h.idLength + mapBytes;
    const uint64_t expected = dataAt + (IsRle(h.type) ? 0 : pixels * bytes) + (footer ? kFooterSize : 0);
    if (expected > size) return false;
    // One packet byte stands for at most 128 pixels: refuse sizes the data
    // cannot fill before allocating for them.
    if (IsRle(h.type) && pixels > (size - dataAt) * 128) return false;

    const ByteReader r(data, size);
    PixelReader read;
    read.type = h.type;
    read.bytes = bytes;
    const AlphaMeaning meaning = ReadAlphaMeaning(r, footer);
    read.alphaUsable = meaning != AlphaMeaning::Unused;
    // The descriptor's low five bits decide, the right-to-left bit among
    // them; a 15-bit pixel has no attribute bit, whatever it declares.
    read.attributeBits = h.depth == 16 && (h.descriptor & 31) != 0;
    std::unique_ptr<uint32_t[]> map;
    if (IsMapped(h.type)) {
        map = std::make_unique<uint32_t[]>(h.mapLength);
        const uint32_t entryBytes = h.mapEntryBits == 15 ? 2 : h.mapEntryBits / 8;
        for (uint32_t i = 0; i < h.mapLength; ++i)
            map[i] = MapEntry(data + kHeaderSize + h.idLength + size_t(i) * entryBytes, h.mapEntryBits, read.alphaUsable);
        read.map = map.get();
        read.mapFirst = h.mapFirst;
        read.mapLength = h.mapLength;
    }

    cHost.DestroyDIB();
    if (!cHost.InitializeDIB(int(h.width), int(h.height))) return false;
    auto truncated = [&] {
        cHost.DestroyDIB();
        return false;
    };
    const bool topDown = (h.descriptor & 0x20) != 0, rightToLeft = (h.descriptor & 0x10) != 0;
    size_t pos = size_t(dataAt);
    uint32_t runLeft = 0, value = 0;
    bool repeat = false;
    for (uint32_t row = 0; row < h.height; ++row) {
        uint32_t* out = reinterpret_cast<uint32_t*>(cHost.Row(int(topDown ? row : h.height - 1 - row)));
        for (uint32_t col = 0; col < h.width; ++col) {
            if (IsRle(h.type)) {
                // Packets may run on from one row into the next.
                if (runLeft == 0) {
                    if (pos >= size) return truncated();
                    repeat = (data[pos] & 0x80) != 0;
                    runLeft = (data[pos] & 0x7F) + 1u;
                    ++pos;
                    if (repeat) {
                        if (!r.Has(pos, bytes)) return truncated();
                        value = read(data + pos);
                        pos += bytes;
                    }
                }
                if (!repeat) {
                    if (!r.Has(pos, bytes)) return truncated();
                    value = read(data + pos);
                    pos += bytes;
                }
                --runLeft;
            } else {
                value = read(data + pos);
                pos += bytes;
            }
            out[rightToLeft ? h.width - 1 - col : col] = value;
        }
    }
    // Only a file that does not say what its alpha means is analysed.
    uint8_t* bits = cHost.BitsPointer();
    const AlphaClass cls = meaning == AlphaMeaning::Straight        ? ApplyDeclaredAlpha(bits, size_t(pixels), false)
                           : meaning == AlphaMeaning::Premultiplied ? ApplyDeclaredAlpha(bits, size_t(pixels), true)
                                                                    : AnalyseAlpha(bits, size_t(pixels), true);
    cHost.Alpha(cls.Alpha);
    cHost.SetImageType(128);
    return true;
}

}  // namespace

bool cTGAparser::LoadBytes(const uint8_t* data, size_t size, cImage32& cHost) {
    return GuardLoad(cHost, false, [&] { return DecodeTga(data, size, cHost); });
}

bool cTGAparser::LoadStream(const ByteArray& inStream, cImage32& cHost, size_t streamOffset, size_t streamLength) {
    if (streamOffset >= inStream.size()) return false;
    const size_t avail = inStream.size() - streamOffset;
    return LoadBytes(inStream.data() + streamOffset, streamLength == 0 ? avail : std::min(streamLength, avail), cHost);
}

// ---- encoder

namespace {

// Run-length packets over one row of `count` pixels of `bytes` bytes each;
// runs do not cross rows, as TGA 2.0 recommends.
void PutRleRow(ByteArray& out, const uint8_t* row, size_t count, size_t bytes) {
    auto same = [&](size_t a, size_t b) { return std::memcmp(row + a * bytes, row + b * bytes, bytes) == 0; };
    size_t i = 0;
    while (i < count) {
        size_t run = 1;
        while (i + run < count && run < 128 && same(i, i + run)) ++run;
        if (run > 1) {
            out.push_back(uint8_t(0x80 | (run - 1)));
            out.insert(out.end(), row + i * bytes, row + (i + 1) * bytes);
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < count && literal < 128 && !(i + literal + 1 < count && same(i + literal, i + literal + 1)))
            ++literal;
        out.push_back(uint8_t(literal - 1));
        out.insert(out.end(), row + i * bytes, row + (i + literal) * bytes);
        i += literal;
    }
}

}  // namespace

bool cTGAparser::Encode(const cImage32& image, ByteArray& out, bool Compress, bool ReduceBitDepth,
                        bool AllowPreMultipliedPixels) {
    out.clear();
    if (!image.HasImage() || image.Width() > 0xFFFF || image.Height() > 0xFFFF) return false;
    const size_t w = size_t(image.Width()), h = size_t(image.Height()), count = w * h;
    const uint8_t* px = image.BitsPointer();
    bool hasAlpha = false;
    for (size_t i = 0; i < count && !hasAlpha; ++i) hasAlpha = px[i * 4 + 3] != 255;

    // An opaque picture of at most 256 colours is written with 8 bits per
    // pixel: as grey when every colour is grey, else through a colour map.
    std::unordered_map<uint32_t, uint8_t> index;
    ByteArray palette;
    bool grey = true;
    bool reduce = ReduceBitDepth && !hasAlpha;
    for (size_t i = 0; reduce && i < count; ++i) {
        const uint8_t* p = px + i * 4;
        const uint32_t bgr = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
        if (index.count(bgr)) continue;
        if (index.size() == 256) {
            reduce = false;
            break;
        }
        index.emplace(bgr, uint8_t(index.size()));
        palette.insert(palette.end(), {p[0], p[1], p[2]});
        grey = grey && p[0] == p[1] && p[1] == p[2];
    }
    const bool mapped = reduce && !grey, greyOut = reduce && grey;
    const size_t bytes = reduce ? 1 : hasAlpha ? 4 : 3;

    out.reserve(kHeaderSize + palette.size() + count * bytes + kExtensionSize + kFooterSize);
    out.push_back(0);                   // no image ID
    out.push_back(mapped ? 1 : 0);      // colour-map type
    out.push_back(uint8_t((mapped ? 1 : greyOut ? 3 : 2) + (Compress ? 8 : 0)));
    PutU16LE(out, 0);                   // first map entry
    PutU16LE(out, mapped ? uint32_t(palette.size() / 3) : 0);
    out.push_back(mapped ? 24 : 0);
    PutU16LE(out, 0);                   // x origin
    PutU16LE(out, 0);                   // y origin
    PutU16LE(out, uint32_t(w));
    PutU16LE(out, uint32_t(h));
    out.push_back(uint8_t(bytes * 8));
    out.push_back(bytes == 4 ? 8 : 0);  // alpha bits; bottom-left origin
    if (mapped) out.insert(out.end(), palette.begin(), palette.end());

    // The buffer's bottom row comes first, as the bottom-left origin wants.
    const uint8_t* unpremultiply = UnpremultiplyTable();
    ByteArray row(w * bytes);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* src = px + y * w * 4;
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = src + x * 4;
            uint8_t* o = row.data() + x * bytes;
            if (reduce) {
                *o = greyOut ? p[0] : index[uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16];
                continue;
            }
            const uint8_t* straight = unpremultiply + size_t(p[3]) * 256;
            for (int c = 0; c < 3; ++c) o[c] = AllowPreMultipliedPixels || p[3] == 255 ? p[c] : straight[p[c]];
            if (bytes == 4) o[3] = p[3];
        }
        if (Compress) PutRleRow(out, row.data(), w, bytes);
        else out.insert(out.end(), row.begin(), row.end());
    }

    const size_t extAt = out.size();
    ByteArray ext(kExtensionSize, 0);
    ext[0] = uint8_t(kExtensionSize & 0xFF);
    ext[1] = uint8_t(kExtensionSize >> 8);
    const char software[] = "Kiv Image Library";
    std::memcpy(ext.data() + 426, software, sizeof software - 1);
    ext[467] = 3;
    ext[469] = 1;
    std::memset(ext.data() + 470, 0xFF, 4);  // key colour
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    const int stamp[6] = {t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec};
    for (int i = 0; i < 6; ++i) {
        ext[367 + 2 * i] = uint8_t(stamp[i]);
        ext[368 + 2 * i] = uint8_t(stamp[i] >> 8);
    }
    ext[494] = AllowPreMultipliedPixels ? 4 : hasAlpha ? 3 : 0;
    out.insert(out.end(), ext.begin(), ext.end());
    PutU32LE(out, uint32_t(extAt));
    PutU32LE(out, 0);  // no developer area
    out.insert(out.end(), kFooterSignature, kFooterSignature + sizeof kFooterSignature);  // with its NUL
    return true;
}

bool cImage32::SaveToStream_TGA(ByteArray& outStream, bool Compress, bool ReduceBitDepth,
                                bool AllowPreMultipliedPixels) {
    return cTGAparser::Encode(*this, outStream, Compress, ReduceBitDepth, AllowPreMultipliedPixels);
}

bool cImage32::SaveToFile_TGA(const std::string& FileName, bool Compress, bool ReduceBitDepth,
                              bool AllowPreMultipliedPixels, bool PromptOverwrite) {
    if (!PrepareSaveFile(FileName, PromptOverwrite)) return false;
    ByteArray bytes;
    if (!cTGAparser::Encode(*this, bytes, Compress, ReduceBitDepth, AllowPreMultipliedPixels)) return false;
    return WriteBytesToFile(FileName, bytes.data(), bytes.size());
}
