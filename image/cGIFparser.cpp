// GIF decoder for the GIF89a format (CompuServe, 1990), which GIF87a files
// also follow.
#include "image/cGIFparser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "image/ByteReader.h"
#include "image/LoadGuard.h"

bool GifLzwDecode(const uint8_t* data, size_t size, int minCodeSize, uint8_t* out, size_t outCount) {
    constexpr int kMaxCodes = 4096;
    if (minCodeSize < 1 || minCodeSize > 11) return false;
    uint16_t prefix[kMaxCodes];
    uint8_t suffix[kMaxCodes];
    uint8_t first[kMaxCodes];
    uint16_t length[kMaxCodes];
    const int clear = 1 << minCodeSize, eoi = clear + 1;
    for (int c = 0; c < clear; ++c) {
        suffix[c] = first[c] = uint8_t(c);
        length[c] = 1;
    }
    int next = clear + 2, width = minCodeSize + 1, prev = -1;
    size_t pos = 0, bitPos = 0;
    const size_t totalBits = size * 8;

    while (pos < outCount && bitPos + size_t(width) <= totalBits) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bitPos) code |= ((data[bitPos >> 3] >> (bitPos & 7)) & 1) << i;
        if (code == clear) {
            next = clear + 2;
            width = minCodeSize + 1;
            prev = -1;
            continue;
        }
        if (code == eoi) break;
        // With code sizes above 8 the roots reach past 255, but a colour
        // table holds 256 entries at most: such an index has no colour.
        if (code > 255 && code < clear) return false;
        int emit = code;
        if (prev < 0) {
            if (code >= clear) return false;
        } else {
            if (code > next || (code == next && next >= kMaxCodes)) return false;
            if (next < kMaxCodes) {
                // The new entry is the previous string plus the first index
                // of the current one (of itself when the code is brand new).
                prefix[next] = uint16_t(prev);
                first[next] = first[prev];
                suffix[next] = code == next ? first[prev] : first[code];
                length[next] = uint16_t(length[prev] + 1);
                ++next;
                if (next == (1 << width) && width < 12) ++width;
            }
        }
        // Write the string backwards from its last index, clipped to the output.
        const size_t len = length[emit];
        size_t at = pos + len;
        for (int c = emit;; c = prefix[c]) {
            --at;
            if (at < outCount) out[at] = suffix[c];
            if (length[c] == 1) break;
        }
        pos += len;
        prev = code;
    }
    return true;
}

namespace {

// Picture row of the k-th stored row of an interlaced image (four passes).
uint32_t InterlacedRow(uint32_t k, uint32_t height) {
    static constexpr uint32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p) {
        const uint32_t rows = height > kStart[p] ? (height - kStart[p] + kStep[p] - 1) / kStep[p] : 0;
        if (k < rows) return kStart[p] + k * kStep[p];
        k -= rows;
    }
    return 0;
}

enum class Walk { NotGif, Damaged, Ok };

struct Frame {
    size_t descriptor = 0;  // position of the image separator
    size_t table = 0;       // position of the colour table the frame uses
    int colours = 0;
    int transparent = -1;
    size_t codeSize = 0;    // position of the LZW minimum code size byte
    size_t end = 0;         // position of the block terminator after the data
};

// Skips data sub-blocks from p; p ends after the terminator.
bool SkipSubBlocks(const ByteReader& r, size_t& p) {
    for (;;) {
        uint32_t n;
        if (!r.U8(p, n)) return false;
        p += n + 1;
        if (n == 0) return true;
    }
}

Walk FindFirstFrame(const ByteReader& r, Frame& f) {
    uint32_t packed;
    if (!r.U8(10, packed)) return Walk::Damaged;
    size_t p = 13;
    if (packed & 0x80) {
        f.colours = 2 << (packed & 7);
        f.table = 13;
        p += 3 * size_t(f.colours);
    }
    for (bool walking = true; walking;) {
        uint32_t b;
        if (!r.U8(p, b)) return Walk::Damaged;
        if (b == 0x00) {
            ++p;
        } else if (b == 0x21) {
            ++p;
            uint32_t label, v;
            if (!r.U8(p, label)) return Walk::Damaged;
            if (label == 0xFF) {
                if (!r.U8(p + 1, v)) return Walk::Damaged;
                p += v + 2;
                if (!SkipSubBlocks(r, p)) return Walk::Damaged;
            } else if (label == 0xF9) {
                // The last control extension before the image counts.
                uint32_t flags, index;
                if (!r.U8(p + 2, flags) || !r.U8(p + 5, index)) return Walk::Damaged;
                f.transparent = (flags & 1) ? int(index) : -1;
                p += 7;
            } else {
                ++p;
                if (!SkipSubBlocks(r, p)) return Walk::Damaged;
            }
        } else {
            walking = false;
        }
    }
    uint32_t b;
    if (!r.U8(p, b)) return Walk::Damaged;
    if (b != 0x2C) return Walk::NotGif;
    f.descriptor = p;
    if (!r.U8(p + 9, packed)) return Walk::Damaged;
    p += 9;
    if (packed & 0x80) {
        f.colours = 2 << (packed & 7);
        f.table = f.descriptor + 10;
        p += 3 * size_t(f.colours);
    }
    f.codeSize = p + 1;
    p += 2;
    if (!SkipSubBlocks(r, p)) return Walk::Damaged;
    f.end = p - 1;
    if (f.end - f.descriptor < 3 || f.colours == 0) return Walk::NotGif;
    return r.Has(f.table, 3 * size_t(f.colours)) ? Walk::Ok : Walk::Damaged;
}

bool DecodeFrame(const ByteReader& r, const Frame& f, cImage32& img) {
    uint32_t w, h, packed, minCode;
    if (!r.U16LE(f.descriptor + 5, w) || !r.U16LE(f.descriptor + 7, h) || !r.U8(f.descriptor + 9, packed) ||
        !r.U8(f.codeSize, minCode))
        return false;
    // Gather the sub-block payloads; they were range-checked by the walk.
    ByteArray lzw;
    lzw.reserve(f.end - f.codeSize);
    for (size_t p = f.codeSize + 1; r.data[p] != 0; p += r.data[p] + 1u)
        lzw.insert(lzw.end(), r.data + p + 1, r.data + p + 1 + r.data[p]);

    // Every code stands for at most 4096 indexes and takes at least
    // minCode + 1 bits: a frame larger than its data could ever fill is
    // damaged, and is refused before a picture of that size is made.
    const size_t count = size_t(w) * h;
    if (minCode < 1 || count > (lzw.size() * 8 / (minCode + 1) + 1) * 4096) return false;
    if (!img.InitializeDIB(int(w), int(h))) return false;

    std::unique_ptr<uint8_t[]> idx(new (std::nothrow) uint8_t[count]());
    if (!idx || !GifLzwDecode(lzw.data(), lzw.size(), int(minCode), idx.get(), count)) return false;

    uint32_t colour[256];
    const uint8_t* t = r.data + f.table;
    for (int k = 0; k < f.colours; ++k)
        colour[k] = 0xFF000000u | uint32_t(t[3 * k]) << 16 | uint32_t(t[3 * k + 1]) << 8 | t[3 * k + 2];
    if (f.transparent >= 0 && f.transparent < f.colours) colour[f.transparent] = 0;

    const bool interlaced = (packed & 0x40) != 0;
    for (uint32_t k = 0; k < h; ++k) {
        const uint8_t* src = idx.get() + size_t(k) * w;
        uint32_t* dst = reinterpret_cast<uint32_t*>(img.Row(int(interlaced ? InterlacedRow(k, h) : k)));
        for (uint32_t x = 0; x < w; ++x) {
            // An index past the colour table has no colour to show.
            if (src[x] >= f.colours) return false;
            dst[x] = colour[src[x]];
        }
    }
    img.Alpha(f.transparent >= 0 ? 1 : 0);
    img.SetImageType(9);
    return true;
}

}  // namespace

bool cGIFparser::LoadBytes(const uint8_t* data, size_t size, cImage32& cHost) {
    m_Transparent = -1;
    m_Left = m_Top = 0;
    if (!data || size < 6) return false;
    char sig[7] = {};
    for (int i = 0; i < 6; ++i) sig[i] = char(std::tolower(data[i]));
    if (std::strcmp(sig, "gif89a") != 0 && std::strcmp(sig, "gif87a") != 0) return false;

    const ByteReader r(data, size);
    Frame f;
    const Walk walk = FindFirstFrame(r, f);
    if (walk == Walk::NotGif) return false;
    cHost.DestroyDIB();
    if (walk == Walk::Damaged || !GuardLoad(cHost, false, [&] { return DecodeFrame(r, f, cHost); })) {
        cHost.DestroyDIB();
        return true;
    }
    m_Transparent = f.transparent;
    m_Left = int(LoadU16LE(data + f.descriptor + 1));
    m_Top = int(LoadU16LE(data + f.descriptor + 3));
    return true;
}

bool cGIFparser::LoadStream(const ByteArray& inStream, cImage32& cHost, size_t streamStart, size_t streamLength) {
    if (streamStart >= inStream.size()) return false;
    const size_t avail = inStream.size() - streamStart;
    return LoadBytes(inStream.data() + streamStart, streamLength == 0 ? avail : std::min(streamLength, avail), cHost);
}
