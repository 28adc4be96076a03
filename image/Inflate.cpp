// Deflate decoder, RFC 1951.
// Huffman codes are decoded through two-level lookup tables: a primary table
// indexed by the next kPrimary bits, with sub-tables for the few longer codes.
#include "image/Inflate.h"

#include <algorithm>
#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

namespace {

// Table entry: bits 0-4 code length to consume, 5-7 kind, 8-11 extra bits
// (or sub-table index bits), 16-31 value (literal, base, or sub-table offset).
enum : uint32_t { kLiteral = 0, kBase = 1, kEndOfBlock = 2, kSubTable = 3, kInvalid = 4 };
constexpr uint32_t Entry(uint32_t kind, uint32_t extra, uint32_t value) {
    return kind << 5 | extra << 8 | value << 16;
}
inline uint32_t KindOf(uint32_t e) { return (e >> 5) & 7; }
inline uint32_t LenOf(uint32_t e) { return e & 31; }
inline uint32_t ExtraOf(uint32_t e) { return (e >> 8) & 15; }
inline uint32_t ValueOf(uint32_t e) { return e >> 16; }

constexpr int kLitPrimary = 10, kLitCapacity = 2048;
constexpr int kDistPrimary = 8, kDistCapacity = 1024;
constexpr int kCodeLenPrimary = 7;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

uint32_t LitInfo(int sym) {
    if (sym < 256) return Entry(kLiteral, 0, uint32_t(sym));
    if (sym == 256) return Entry(kEndOfBlock, 0, 0);
    if (sym <= 285) return Entry(kBase, kLengthExtra[sym - 257], kLengthBase[sym - 257]);
    return Entry(kInvalid, 0, 0);
}
uint32_t DistInfo(int sym) {
    if (sym < 30) return Entry(kBase, kDistExtra[sym], kDistBase[sym]);
    return Entry(kInvalid, 0, 0);
}
uint32_t CodeLenInfo(int sym) { return Entry(kLiteral, 0, uint32_t(sym)); }

uint32_t Reverse(uint32_t code, int len) {
    uint32_t r = 0;
    for (int i = 0; i < len; ++i, code >>= 1) r = (r << 1) | (code & 1);
    return r;
}

// Builds the lookup table of a canonical Huffman code from its code lengths.
// Over-subscribed codes are rejected; incomplete codes are accepted and their
// unused bit patterns decode as invalid.
bool BuildTable(const uint8_t* lens, int n, uint32_t (*info)(int), int primary, uint32_t* table, int capacity) {
    int count[16] = {};
    for (int s = 0; s < n; ++s) ++count[lens[s]];
    count[0] = 0;
    int left = 1;
    for (int len = 1; len <= 15; ++len) {
        left = (left << 1) - count[len];
        if (left < 0) return false;
    }
    int offs[16];
    offs[1] = 0;
    for (int len = 1; len < 15; ++len) offs[len + 1] = offs[len] + count[len];
    uint16_t sorted[288];
    for (int s = 0; s < n; ++s)
        if (lens[s]) sorted[offs[lens[s]]++] = uint16_t(s);
    const int used = offs[15];

    const uint32_t primarySize = 1u << primary, primaryMask = primarySize - 1;
    const uint32_t invalid = Entry(kInvalid, 0, 0);
    std::fill(table, table + primarySize, invalid);

    uint32_t codes[288];
    uint8_t subBits[1 << kLitPrimary] = {};
    uint32_t code = 0;
    int prevLen = 0;
    for (int i = 0; i < used; ++i) {
        const int len = lens[sorted[i]];
        if (i > 0) ++code;
        code <<= (len - prevLen);
        prevLen = len;
        codes[i] = Reverse(code, len);
        if (len > primary) {
            uint8_t& b = subBits[codes[i] & primaryMask];
            b = std::max<uint8_t>(b, uint8_t(len - primary));
        }
    }
    uint32_t next = primarySize;
    for (int i = 0; i < used; ++i) {
        const int sym = sorted[i], len = lens[sym];
        const uint32_t rev = codes[i], e = info(sym);
        if (len <= primary) {
            for (uint32_t k = rev; k < primarySize; k += 1u << len) table[k] = e | uint32_t(len);
            continue;
        }
        const uint32_t p = rev & primaryMask;
        if (KindOf(table[p]) != kSubTable) {
            const uint32_t bits = subBits[p], size = 1u << bits;
            if (next + size > uint32_t(capacity)) return false;
            std::fill(table + next, table + next + size, invalid);
            table[p] = Entry(kSubTable, bits, next) | uint32_t(primary);
            next += size;
        }
        const uint32_t off = ValueOf(table[p]), size = 1u << ExtraOf(table[p]);
        const int subLen = len - primary;
        for (uint32_t k = rev >> primary; k < size; k += 1u << subLen) table[off + k] = e | uint32_t(subLen);
    }
    return true;
}

struct FixedTables {
    uint32_t lit[kLitCapacity];
    uint32_t dist[kDistCapacity];
    FixedTables() {
        uint8_t lens[288];
        std::fill(lens, lens + 144, 8);
        std::fill(lens + 144, lens + 256, 9);
        std::fill(lens + 256, lens + 280, 7);
        std::fill(lens + 280, lens + 288, 8);
        BuildTable(lens, 288, LitInfo, kLitPrimary, lit, kLitCapacity);
        std::fill(lens, lens + 32, 5);
        BuildTable(lens, 32, DistInfo, kDistPrimary, dist, kDistCapacity);
    }
};

class Inflater {
public:
    Inflater(const uint8_t* src, size_t n, uint8_t* dst, size_t dstSize)
        : in_(src), inEnd_(src + n), outStart_(dst), out_(dst), outEnd_(dst + dstSize) {}

    bool Run();

private:
    // Keeps at least 56 bits in the buffer. Past the end of the input zero
    // bytes are fed in and counted; more than 8 of them means the stream
    // really ran out (the buffer holds at most 8 bytes of lookahead).
    bool Refill() {
        if (inEnd_ - in_ >= 8) {
            uint64_t w;
            std::memcpy(&w, in_, 8);
            bitbuf_ |= w << bitcnt_;
            in_ += (63 - bitcnt_) >> 3;
            bitcnt_ |= 56;
            return true;
        }
        while (bitcnt_ <= 56) {
            if (in_ < inEnd_) bitbuf_ |= uint64_t(*in_++) << bitcnt_;
            else ++overread_;
            bitcnt_ += 8;
        }
        return overread_ <= 8;
    }
    uint32_t Bits(unsigned n) const { return uint32_t(bitbuf_ & ((uint64_t(1) << n) - 1)); }
    void Drop(unsigned n) {
        bitbuf_ >>= n;
        bitcnt_ -= n;
    }
    // True when every bit consumed so far came from the real input.
    bool NoPhantomBitsUsed() const { return uint64_t(overread_) * 8 <= bitcnt_; }
    bool Full() const { return out_ == outEnd_; }

    bool StoredBlock();
    bool DynamicTables();
    bool HuffmanBlock(const uint32_t* lit, const uint32_t* dist);

    const uint8_t* in_;
    const uint8_t* inEnd_;
    uint8_t* const outStart_;
    uint8_t* out_;
    uint8_t* const outEnd_;
    uint64_t bitbuf_ = 0;
    unsigned bitcnt_ = 0;
    size_t overread_ = 0;
    uint32_t lit_[kLitCapacity];
    uint32_t dist_[kDistCapacity];
};

bool Inflater::Run() {
    static const FixedTables fixed;
    for (;;) {
        if (Full()) return NoPhantomBitsUsed();
        if (!Refill()) return false;
        const uint32_t final = Bits(1), type = (bitbuf_ >> 1) & 3;
        Drop(3);
        bool ok;
        switch (type) {
        case 0: ok = StoredBlock(); break;
        case 1: ok = HuffmanBlock(fixed.lit, fixed.dist); break;
        case 2: ok = DynamicTables() && HuffmanBlock(lit_, dist_); break;
        default: return false;  // reserved type: nothing more can be decoded
        }
        if (!ok || !NoPhantomBitsUsed()) return false;
        if (Full()) return true;
        if (final) return false;  // stream ended before the expected size
    }
}

bool Inflater::StoredBlock() {
    Drop(bitcnt_ & 7);
    // Hand the whole bytes still in the bit buffer back to the input.
    const size_t buffered = bitcnt_ / 8;
    if (buffered < overread_) return false;
    in_ -= buffered - overread_;
    bitbuf_ = 0;
    bitcnt_ = 0;
    overread_ = 0;
    if (inEnd_ - in_ < 4) return false;
    const uint32_t len = uint32_t(in_[0]) | uint32_t(in_[1]) << 8;
    const uint32_t nlen = uint32_t(in_[2]) | uint32_t(in_[3]) << 8;
    in_ += 4;
    if ((len ^ 0xFFFF) != nlen) return false;
    const size_t n = std::min<size_t>(len, size_t(outEnd_ - out_));
    if (size_t(inEnd_ - in_) < n) return false;
    std::memcpy(out_, in_, n);
    out_ += n;
    in_ += n;
    return true;
}

bool Inflater::DynamicTables() {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    if (!Refill()) return false;
    const int hlit = int(Bits(5)) + 257, hdist = int(Bits(10) >> 5) + 1, hclen = int(Bits(14) >> 10) + 4;
    Drop(14);
    if (hlit > 286 || hdist > 30) return false;
    uint8_t clens[19] = {};
    for (int i = 0; i < hclen; ++i) {
        if (bitcnt_ < 3 && !Refill()) return false;
        clens[kOrder[i]] = uint8_t(Bits(3));
        Drop(3);
    }
    uint32_t ctable[1 << kCodeLenPrimary];
    if (!BuildTable(clens, 19, CodeLenInfo, kCodeLenPrimary, ctable, 1 << kCodeLenPrimary)) return false;

    uint8_t lens[286 + 30] = {};
    const int total = hlit + hdist;
    for (int i = 0; i < total;) {
        if (bitcnt_ < 16 && !Refill()) return false;
        const uint32_t e = ctable[Bits(kCodeLenPrimary)];
        if (KindOf(e) == kInvalid) return false;
        Drop(LenOf(e));
        const uint32_t sym = ValueOf(e);
        if (sym < 16) {
            lens[i++] = uint8_t(sym);
            continue;
        }
        uint8_t value = 0;
        int repeat;
        if (sym == 16) {
            if (i == 0) return false;
            value = lens[i - 1];
            repeat = 3 + int(Bits(2));
            Drop(2);
        } else if (sym == 17) {
            repeat = 3 + int(Bits(3));
            Drop(3);
        } else {
            repeat = 11 + int(Bits(7));
            Drop(7);
        }
        if (repeat > total - i) return false;
        std::fill(lens + i, lens + i + repeat, value);
        i += repeat;
    }
    if (lens[256] == 0) return false;  // a block must be able to end
    return BuildTable(lens, hlit, LitInfo, kLitPrimary, lit_, kLitCapacity) &&
           BuildTable(lens + hlit, hdist, DistInfo, kDistPrimary, dist_, kDistCapacity);
}

bool Inflater::HuffmanBlock(const uint32_t* lit, const uint32_t* dist) {
    for (;;) {
        // 48 bits cover the longest length code with its extra bits plus the
        // longest distance code with its extra bits.
        if (bitcnt_ < 48 && !Refill()) return false;
        uint32_t e = lit[Bits(kLitPrimary)];
        if (KindOf(e) == kSubTable) {
            Drop(kLitPrimary);
            e = lit[ValueOf(e) + Bits(ExtraOf(e))];
        }
        Drop(LenOf(e));
        const uint32_t kind = KindOf(e);
        if (kind == kLiteral) {
            if (Full()) return true;
            *out_++ = uint8_t(ValueOf(e));
            continue;
        }
        if (kind == kEndOfBlock) return true;
        if (kind != kBase) return false;
        const uint32_t length = ValueOf(e) + Bits(ExtraOf(e));
        Drop(ExtraOf(e));

        uint32_t d = dist[Bits(kDistPrimary)];
        if (KindOf(d) == kSubTable) {
            Drop(kDistPrimary);
            d = dist[ValueOf(d) + Bits(ExtraOf(d))];
        }
        Drop(LenOf(d));
        if (KindOf(d) != kBase) return false;
        const uint32_t distance = ValueOf(d) + Bits(ExtraOf(d));
        Drop(ExtraOf(d));
        if (distance > size_t(out_ - outStart_)) return false;

        const size_t room = size_t(outEnd_ - out_);
        const size_t n = std::min<size_t>(length, room);
        const uint8_t* from = out_ - distance;
        if (distance >= 8 && room >= n + 8) {
            // Whole words; each reads only bytes written by earlier words.
            uint8_t* o = out_;
            uint8_t* const end = out_ + n;
            do {
                uint64_t w;
                std::memcpy(&w, from, 8);
                std::memcpy(o, &w, 8);
                o += 8;
                from += 8;
            } while (o < end);
        } else if (distance == 1) {
            std::memset(out_, out_[-1], n);
        } else {
            for (size_t k = 0; k < n; ++k) out_[k] = from[k];
        }
        out_ += n;
        if (Full()) return true;
    }
}

}  // namespace

bool OwnInflate(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstSize) {
    if (!src || srcLen < 2 || (!dst && dstSize)) return false;
    Inflater inflater(src + 2, srcLen - 2, dst, dstSize);
    return inflater.Run();
}
