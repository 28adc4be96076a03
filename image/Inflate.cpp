// Deflate decoder, RFC 1951.
// Huffman codes are decoded through two-level lookup tables: a primary table
// indexed by the next kPrimary bits, with sub-tables for the few longer codes.
#include "image/Inflate.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

namespace {

// Table entry: bits 0-4 the bits to consume (code plus extra bits; for a
// sub-table pointer the primary bits), 5-7 kind, 8-11 code length (where the
// extra bits start; for a sub-table pointer its index bits), 16-31 value
// (literal, base, or sub-table offset).
enum : uint32_t { kLiteral = 0, kBase = 1, kEndOfBlock = 2, kSubTable = 3, kInvalid = 4 };
constexpr uint32_t Entry(uint32_t kind, uint32_t extra, uint32_t value) {
    return kind << 5 | extra << 8 | value << 16;
}
inline uint32_t KindOf(uint32_t e) { return (e >> 5) & 7; }
inline uint32_t LenOf(uint32_t e) { return e & 31; }
inline uint32_t CodeLenOf(uint32_t e) { return (e >> 8) & 15; }
inline uint32_t ValueOf(uint32_t e) { return e >> 16; }
// The entry of a symbol whose code is `len` bits long; info carries the
// symbol's extra bits in the code-length field.
inline uint32_t Coded(uint32_t info, uint32_t len) {
    return (info & ~uint32_t(0xF1F)) | (len + CodeLenOf(info)) | len << 8;
}

// The entry of the next code in a table with `primary` index bits: a
// sub-table's bits are dropped on the way, the code's own are left.
inline uint32_t Lookup(const uint32_t* table, unsigned primary, uint64_t& bits, unsigned& count) {
    uint32_t e = table[bits & ((uint64_t(1) << primary) - 1)];
    if (KindOf(e) == kSubTable) {
        bits >>= primary;
        count -= primary;
        e = table[ValueOf(e) + uint32_t(bits & ((uint64_t(1) << CodeLenOf(e)) - 1))];
    }
    return e;
}
// The length or distance of a base entry: the code and its extra bits are
// dropped.
inline uint32_t TakeBase(uint32_t e, uint64_t& bits, unsigned& count) {
    const uint32_t v = ValueOf(e) + uint32_t((bits & ((uint64_t(1) << LenOf(e)) - 1)) >> CodeLenOf(e));
    bits >>= LenOf(e);
    count -= LenOf(e);
    return v;
}

// Tops the bit buffer up to 56-63 bits from at least 8 bytes of input. The
// word overlaps the bits already held; the bytes it was not consumed for are
// loaded again next time, at the same place.
inline void TopUp(const uint8_t*& in, uint64_t& bits, unsigned& count) {
    uint64_t w;
    std::memcpy(&w, in, 8);
    bits |= w << count;
    in += (63 - count) >> 3;
    count |= 56;
}

constexpr int kLitPrimary = 10, kDistPrimary = 8, kCodeLenPrimary = 7;
// Every code longer than the primary bits may open a sub-table of at most
// 2^(15 - primary) entries: a safe bound for any valid set of code lengths.
constexpr int kLitCapacity = (1 << kLitPrimary) + 286 * (1 << (15 - kLitPrimary));
constexpr int kDistCapacity = (1 << kDistPrimary) + 30 * (1 << (15 - kDistPrimary));
constexpr size_t kHistory = 32768, kMaxMatch = 258, kSlack = 16;

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
            for (uint32_t k = rev; k < primarySize; k += 1u << len) table[k] = Coded(e, uint32_t(len));
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
        const uint32_t off = ValueOf(table[p]), size = 1u << CodeLenOf(table[p]);
        const int subLen = len - primary;
        for (uint32_t k = rev >> primary; k < size; k += 1u << subLen) table[off + k] = Coded(e, uint32_t(subLen));
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
    // Output goes to the window buf[0, bufSize), which is handed to the sink
    // and slid along whenever it fills, until `total` bytes are out.
    Inflater(const InflateSpan* spans, size_t count, uint8_t* buf, size_t bufSize, size_t total, InflateSink& sink)
        : span_(spans), spanEnd_(spans + count), buf_(buf), bufEnd_(buf + bufSize), out_(buf), flushed_(buf),
          total_(total), sink_(sink) {}

    bool Run();

private:
    bool NextSpan() {
        while (span_ != spanEnd_) {
            const InflateSpan s = *span_++;
            if (s.size) {
                in_ = s.data;
                inEnd_ = s.data + s.size;
                return true;
            }
        }
        return false;
    }
    // Keeps at least 56 bits in the buffer. Past the end of the input zero
    // bytes are fed in and counted; more than 8 of them means the stream
    // really ran out (the buffer holds at most 8 bytes of lookahead).
    bool Refill() {
        if (inEnd_ - in_ >= 8) {
            TopUp(in_, bitbuf_, bitcnt_);
            return true;
        }
        while (bitcnt_ <= 56) {
            if (in_ < inEnd_ || NextSpan()) bitbuf_ |= uint64_t(*in_++) << bitcnt_;
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

    // Where writing may go from out_: end_ is the end of the whole output
    // (final_) or of the usable window; below mark_ a whole match fits.
    void Place() {
        const size_t left = total_ - (base_ + size_t(out_ - buf_)), room = size_t(bufEnd_ - out_);
        final_ = left <= room;
        end_ = final_ ? out_ + left : bufEnd_ - kSlack;
        mark_ = final_ ? end_ : end_ - kMaxMatch;
    }
    bool Complete() const { return final_ && out_ == end_; }
    // Called at mark_: false when the output is complete; otherwise hands the
    // new bytes to the sink and keeps only the history matches may refer to.
    bool MakeRoom() {
        if (final_) return false;
        sink_.Take(flushed_, size_t(out_ - flushed_));
        const size_t keep = std::min(kHistory, size_t(out_ - buf_));
        std::memmove(buf_, out_ - keep, keep);
        base_ += size_t(out_ - buf_) - keep;
        out_ = flushed_ = buf_ + keep;
        Place();
        return true;
    }
    bool Finish() {
        if (!NoPhantomBitsUsed()) return false;
        sink_.Take(flushed_, size_t(out_ - flushed_));
        return true;
    }

    bool StoredBlock();
    bool DynamicTables();
    bool HuffmanBlock(const uint32_t* lit, const uint32_t* dist);

    const InflateSpan* span_;
    const InflateSpan* const spanEnd_;
    const uint8_t* in_ = nullptr;
    const uint8_t* inEnd_ = nullptr;
    uint64_t bitbuf_ = 0;
    unsigned bitcnt_ = 0;
    size_t overread_ = 0;

    uint8_t* const buf_;
    uint8_t* const bufEnd_;
    uint8_t* out_;
    uint8_t* flushed_;  // first byte the sink has not taken yet
    uint8_t* end_ = nullptr;
    uint8_t* mark_ = nullptr;
    bool final_ = false;
    size_t base_ = 0;  // output bytes before buf_[0]
    const size_t total_;
    InflateSink& sink_;

    uint32_t lit_[kLitCapacity];
    uint32_t dist_[kDistCapacity];
};

bool Inflater::Run() {
    static const FixedTables fixed;
    Place();
    if (!Refill()) return false;
    Drop(16);  // the zlib header, not checked
    for (;;) {
        if (Complete()) return Finish();
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
        if (Complete()) return Finish();
        if (final) return false;  // stream ended before the expected size
    }
}

bool Inflater::StoredBlock() {
    Drop(bitcnt_ & 7);
    if (bitcnt_ < 32 && !Refill()) return false;
    const uint32_t len = Bits(16), nlen = Bits(32) >> 16;
    Drop(32);
    if (!NoPhantomBitsUsed() || (len ^ 0xFFFF) != nlen) return false;
    for (size_t left = len; left;) {
        if (out_ >= mark_ && !MakeRoom()) return true;  // output complete: the rest is cut off
        size_t n = std::min(left, size_t(end_ - out_));
        left -= n;
        // Whole bytes still in the bit buffer come first, then the input.
        for (; n && bitcnt_; --n) {
            if (bitcnt_ <= overread_ * 8) return false;
            *out_++ = uint8_t(bitbuf_);
            Drop(8);
        }
        if (bitcnt_ == 0) bitbuf_ = 0;  // drop the lookahead: the input is now read directly
        while (n) {
            if (in_ == inEnd_ && !NextSpan()) return false;
            const size_t k = std::min(n, size_t(inEnd_ - in_));
            std::memcpy(out_, in_, k);
            out_ += k;
            in_ += k;
            n -= k;
        }
    }
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
    // The hot state lives in locals: every byte stored through the output
    // pointer could alias the members and force them through memory.
    uint64_t bb = bitbuf_;
    unsigned bc = bitcnt_;
    const uint8_t* in = in_;
    const uint8_t* inEnd = inEnd_;
    uint8_t* out = out_;
    uint8_t* mark = mark_;
    uint8_t* end = end_;
    uint8_t* const buf = buf_;
    uint8_t* const bufEnd = bufEnd_;
    auto save = [&] {
        bitbuf_ = bb;
        bitcnt_ = bc;
        in_ = in;
        out_ = out;
    };
    auto load = [&] {
        bb = bitbuf_;
        bc = bitcnt_;
        in = in_;
        inEnd = inEnd_;
        out = out_;
        mark = mark_;
        end = end_;
    };
    auto bits = [&](unsigned n) { return uint32_t(bb & ((uint64_t(1) << n) - 1)); };
    auto drop = [&](unsigned n) {
        bb >>= n;
        bc -= n;
    };

    for (;;) {
        if (out >= mark) {
            save();
            // Once every byte is out nothing more is read: the stream may end
            // there, after a literal as after a match.
            if (!MakeRoom()) return true;
            load();
        }
        // At least 48 bits: the longest length code with its extra bits plus
        // the longest distance code with its extra bits, or two literals.
        if (inEnd - in >= 8) {
            TopUp(in, bb, bc);
        } else if (bc < 48) {
            save();
            if (!Refill()) return false;
            load();
        }
        uint32_t e = Lookup(lit, kLitPrimary, bb, bc);
        if (KindOf(e) == kLiteral) {
            drop(LenOf(e));
            *out++ = uint8_t(ValueOf(e));
            // Literals come in runs: take a second one from the bits in hand.
            e = lit[bits(kLitPrimary)];
            if (KindOf(e) == kLiteral && out < mark) {
                drop(LenOf(e));
                *out++ = uint8_t(ValueOf(e));
            }
            continue;
        }
        if (KindOf(e) == kEndOfBlock) {
            drop(LenOf(e));
            save();
            return true;
        }
        if (KindOf(e) != kBase) return false;
        const uint32_t length = TakeBase(e, bb, bc);
        const uint32_t d = Lookup(dist, kDistPrimary, bb, bc);
        if (KindOf(d) != kBase) return false;
        const uint32_t distance = TakeBase(d, bb, bc);
        if (distance > size_t(out - buf)) return false;

        const size_t n = std::min<size_t>(length, size_t(end - out));
        const uint8_t* from = out - distance;
        if (distance >= 8 && size_t(bufEnd - out) >= n + 16) {
            // Whole words; each reads only bytes written by earlier words.
            // Most matches are short: the first two words go unconditionally.
            uint8_t* o = out;
            uint8_t* const stop = out + n;
            uint64_t w;
            do {
                std::memcpy(&w, from, 8);
                std::memcpy(o, &w, 8);
                std::memcpy(&w, from + 8, 8);
                std::memcpy(o + 8, &w, 8);
                o += 16;
                from += 16;
            } while (o < stop);
        } else if (distance == 1) {
            std::memset(out, out[-1], n);
        } else {
            for (size_t k = 0; k < n; ++k) out[k] = from[k];
        }
        out += n;
    }
}

}  // namespace

bool OwnInflate(const InflateSpan* spans, size_t count, size_t outSize, InflateSink& sink) {
    size_t srcLen = 0;
    for (size_t i = 0; i < count; ++i) srcLen += spans[i].size;
    if (srcLen < 2) return false;
    // The window: the history matches may reach back into, plus room for a
    // stretch of new output that the sink then takes while it is in cache.
    constexpr size_t kChunk = 128 * 1024;
    std::vector<uint8_t> window(kHistory + kChunk + kMaxMatch + kSlack);
    auto inflater = std::make_unique<Inflater>(spans, count, window.data(), window.size(), outSize, sink);
    return inflater->Run();
}
