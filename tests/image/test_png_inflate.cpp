// The own Deflate decoder against zlib's encoder, over every block type zlib
// produces, and its behaviour at the output limit and on damaged streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "image/Inflate.h"

namespace {

std::vector<uint8_t> SampleData(size_t n, uint32_t seed) {
    // Mix of runs, repeats at short and long distances, and noise, so the
    // encoder uses literals, every length range and far distances.
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t r = seed >> 16;
        if (i > 40000 && r % 7 == 0) d[i] = d[i - 32768 + (r % 100)];
        else if (i > 3 && r % 3 == 0) d[i] = d[i - 1 - (r % 3)];
        else if (r % 5 == 0) d[i] = 0;
        else d[i] = uint8_t(r);
    }
    return d;
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& in, int level, int strategy) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 15, 8, strategy);
    std::vector<uint8_t> out(deflateBound(&zs, uLong(in.size())));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = uInt(in.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

struct Collect final : InflateSink {
    std::vector<uint8_t> got;
    void Take(const uint8_t* p, size_t n) override { got.insert(got.end(), p, p + n); }
};

// Inflates the stream cut into pieces at `cuts` (empty pieces included), as
// the IDAT chunks of a PNG hold it. Each piece is a heap block of its own,
// so that the sanitizer sees a read past its end.
bool Inflate(const std::vector<uint8_t>& z, std::vector<size_t> cuts, size_t outSize, std::vector<uint8_t>& out) {
    std::vector<std::vector<uint8_t>> pieces;
    size_t at = 0;
    cuts.push_back(z.size());
    for (size_t c : cuts) {
        c = std::min(std::max(c, at), z.size());
        pieces.emplace_back(z.begin() + ptrdiff_t(at), z.begin() + ptrdiff_t(c));
        at = c;
    }
    std::vector<InflateSpan> spans;
    for (const auto& p : pieces) spans.push_back({p.data(), p.size()});
    Collect sink;
    const bool ok = OwnInflate(spans.data(), spans.size(), outSize, sink);
    out = std::move(sink.got);
    return ok;
}

struct Mode {
    int level, strategy;
};

class InflateModes : public ::testing::TestWithParam<Mode> {};

TEST_P(InflateModes, MatchesTheEncodedData) {
    for (size_t n : {size_t(1), size_t(300), size_t(70000), size_t(400000)}) {
        const auto data = SampleData(n, uint32_t(n));
        const auto z = Deflate(data, GetParam().level, GetParam().strategy);
        std::vector<uint8_t> out;
        ASSERT_TRUE(Inflate(z, {}, n, out)) << n;
        EXPECT_EQ(out, data) << n;
        // Pieces of 1, 0, 2 and thousands of bytes.
        ASSERT_TRUE(Inflate(z, {1, 1, 2, 4, 4, 5, z.size() / 3, z.size() / 3 + 8191}, n, out)) << n;
        EXPECT_EQ(out, data) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(BlockTypes, InflateModes,
                         ::testing::Values(Mode{0, Z_DEFAULT_STRATEGY},  // stored
                                           Mode{1, Z_DEFAULT_STRATEGY}, Mode{6, Z_DEFAULT_STRATEGY},
                                           Mode{9, Z_DEFAULT_STRATEGY}, Mode{6, Z_FIXED}, Mode{6, Z_HUFFMAN_ONLY},
                                           Mode{6, Z_RLE}, Mode{9, Z_FILTERED}));

TEST(OwnInflate, OutputIsCutAtTheRequestedSize) {
    const auto data = SampleData(400000, 7);
    for (int level : {0, 6}) {
        const auto z = Deflate(data, level, Z_DEFAULT_STRATEGY);
        for (size_t cut : {size_t(1), size_t(1000), size_t(49999), size_t(300001)}) {
            std::vector<uint8_t> out;
            ASSERT_TRUE(Inflate(z, {z.size() / 2}, cut, out));
            EXPECT_EQ(out, std::vector<uint8_t>(data.begin(), data.begin() + ptrdiff_t(cut)));
        }
    }
}

TEST(OwnInflate, StreamShorterThanTheOutputFails) {
    const auto data = SampleData(5000, 3);
    std::vector<uint8_t> out;
    EXPECT_FALSE(Inflate(Deflate(data, 6, Z_DEFAULT_STRATEGY), {}, data.size() + 1, out));
}

TEST(OwnInflate, HeaderAndChecksumAreNotChecked) {
    const auto data = SampleData(3000, 11);
    auto z = Deflate(data, 9, Z_DEFAULT_STRATEGY);
    z[0] = 0xFF;
    z[1] = 0xFF;
    z[z.size() - 1] ^= 0x55;  // Adler-32
    std::vector<uint8_t> out;
    ASSERT_TRUE(Inflate(z, {}, data.size(), out));
    EXPECT_EQ(out, data);
}

TEST(OwnInflate, TruncatedStreamsFailWithoutReadingPastTheInput) {
    const auto data = SampleData(20000, 5);
    for (int level : {0, 6}) {
        const auto z = Deflate(data, level, Z_DEFAULT_STRATEGY);
        // Without the Adler-32 trailer the stream is still complete, hence -4.
        for (size_t keep : {size_t(0), size_t(2), size_t(3), size_t(10), z.size() / 2, z.size() - 5}) {
            const std::vector<uint8_t> in(z.begin(), z.begin() + ptrdiff_t(keep));
            std::vector<uint8_t> out;
            EXPECT_FALSE(Inflate(in, {}, data.size(), out)) << level << " " << keep;
            EXPECT_FALSE(Inflate(in, {keep / 2, keep / 2 + 1}, data.size(), out)) << level << " " << keep;
        }
    }
}

TEST(OwnInflate, RejectsMalformedBlocks) {
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
    };
    const std::vector<Case> cases = {
        {"reserved block type 3", {0x78, 0x9C, 0x07}},
        {"stored block with NLEN not the complement", {0x78, 0x9C, 0x01, 0x05, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5}},
        {"distance before the start of the output", {0x78, 0x9C, 0x03, 0x02, 0x00}},
        // Dynamic header claiming 30 literal/length codes over the limit (HLIT 31).
        {"too many literal/length codes", {0x78, 0x9C, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        EXPECT_FALSE(Inflate(c.stream, {}, 64, out)) << c.what;
    }
}

}  // namespace
