// Drawing, resampling and pixel operations of cImage32 on small hand-made
// pictures, checked against straightforward reference formulas.
#include <gtest/gtest.h>

#include <random>

#include "image/PixelKernels.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

uint32_t RandomPremultiplied(std::mt19937& rng) {
    const unsigned a = rng() % 4 == 0 ? 255 : (rng() % 4 == 0 ? 0 : rng() % 256);
    auto c = [&] { return a ? unsigned(rng() % (a + 1)) : 0u; };
    return Argb(a, c(), c(), c());
}

void FillRandom(cImage32& img, std::mt19937& rng) {
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) SetPx(img, x, y, RandomPremultiplied(rng));
}

// The own blend written out per byte.
uint32_t ReferenceBlend(uint32_t d, uint32_t s, unsigned op, bool useAlpha = true) {
    const unsigned a = useAlpha ? A(s) : 255;
    if (a == 0) return d;
    uint32_t out = 0;
    if (op == 255) {
        if (a == 255) return s;
        for (int c = 0; c < 4; ++c) {
            const unsigned sc = (s >> (8 * c)) & 255, dc = (d >> (8 * c)) & 255;
            out |= (sc + (255 - a) * dc / 255) << (8 * c);
        }
        return out;
    }
    const unsigned ap = a * op / 255;
    for (int c = 0; c < 4; ++c) {
        const unsigned sc = (s >> (8 * c)) & 255, dc = (d >> (8 * c)) & 255;
        out |= (((255 - ap) * dc + sc * op) / 255) << (8 * c);
    }
    return out;
}

ByteArray Pixels(const cImage32& img) {
    return ByteArray(img.BitsPointer(), img.BitsPointer() + size_t(img.scanWidth()) * size_t(img.Height()));
}

bool ValidPremultiplied(const cImage32& img) {
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const uint32_t p = Px(img, x, y);
            if (R(p) > A(p) || G(p) > A(p) || B(p) > A(p)) return false;
        }
    return true;
}

}  // namespace

TEST(BlendKernel, MatchesTheReferenceFormulaForEveryOpacity) {
    std::mt19937 rng(7);
    for (unsigned op : {255u, 254u, 191u, 127u, 1u})
        for (bool useAlpha : {true, false}) {
            const size_t n = 37;  // a vector body and a tail
            std::vector<uint32_t> src(n), dst(n), want(n);
            for (size_t i = 0; i < n; ++i) {
                src[i] = RandomPremultiplied(rng);
                dst[i] = RandomPremultiplied(rng);
                want[i] = ReferenceBlend(dst[i], src[i], op, useAlpha);
            }
            // Runs of opaque and of transparent pixels take the shortcuts.
            for (size_t i = 8; i < 16; ++i) src[i] = Argb(255, 10, 20, 30), want[i] = ReferenceBlend(dst[i], src[i], op, useAlpha);
            for (size_t i = 16; i < 24; ++i) src[i] = 0, want[i] = ReferenceBlend(dst[i], src[i], op, useAlpha);
            BlendRow(reinterpret_cast<uint8_t*>(dst.data()), reinterpret_cast<const uint8_t*>(src.data()), n, op, useAlpha);
            EXPECT_EQ(dst, want) << "op=" << op << " alpha=" << useAlpha;
        }
}

TEST(Render, OneToOneBlitAgainstTheReferenceBlend) {
    std::mt19937 rng(11);
    cImage32 src, dst;
    ASSERT_TRUE(src.InitializeDIB(19, 7));
    ASSERT_TRUE(dst.InitializeDIB(23, 9));
    FillRandom(src, rng);
    for (int opacity : {100, 50, 150, 33}) {
        FillRandom(dst, rng);
        cImage32 before;
        ASSERT_TRUE(before.InitializeDIB(23, 9));
        std::memcpy(before.BitsPointer(), dst.BitsPointer(), Pixels(dst).size());
        ASSERT_TRUE(src.Render(nullptr, 2, 1, 0, 0, 0, 0, 0, 0, opacity, true, true, &dst));
        const unsigned op = unsigned((opacity % 100 == 0 ? 100 : opacity % 100) * 255 / 100);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 23; ++x) {
                const bool inside = x >= 2 && x < 21 && y >= 1 && y < 8;
                const uint32_t want = inside ? ReferenceBlend(Px(before, x, y), Px(src, x - 2, y - 1), op) : Px(before, x, y);
                ASSERT_EQ(Px(dst, x, y), want) << "opacity " << opacity << " at " << x << "," << y;
            }
    }
}

TEST(Render, OpacityAndMissingTargets) {
    cImage32 src, dst, none;
    ASSERT_TRUE(src.InitializeDIB(2, 2));
    Fill(src, Argb(255, 200, 100, 50));
    ASSERT_TRUE(dst.InitializeDIB(2, 2));
    Fill(dst, Argb(255, 0, 0, 0));
    EXPECT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, true, true, &dst));
    EXPECT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, -5, true, true, &dst));
    EXPECT_EQ(Px(dst, 1, 1), Argb(255, 0, 0, 0));
    EXPECT_FALSE(none.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, true, true, &dst));
    EXPECT_FALSE(none.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 100, true, true, &dst));
    EXPECT_FALSE(src.Render(nullptr));  // neither a context nor a host image
    const DeviceContext empty;
    EXPECT_FALSE(src.Render(&empty));
    // 150 draws at 50 %: over opaque black 200 * 127 / 255 = 99.
    ASSERT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 150, true, true, &dst));
    EXPECT_EQ(Px(dst, 0, 0), Argb(255, 99, 49, 24));
    // A source rectangle outside the picture draws nothing and says so.
    EXPECT_FALSE(src.Render(nullptr, 0, 0, 0, 0, 5, 0, 0, 0, 100, true, true, &dst));
}

TEST(Render, IntoATopDownSurfaceAndClippedAtItsEdges) {
    cImage32 src;
    ASSERT_TRUE(src.InitializeDIB(3, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) SetPx(src, x, y, Argb(255, uint8_t(10 * x), uint8_t(10 * y), 7));
    std::vector<uint32_t> surface(4 * 3, 0);
    const DeviceContext dc = DeviceContext::TopDown(reinterpret_cast<uint8_t*>(surface.data()), 4, 3, 16);
    // Half off the left and the bottom edge.
    ASSERT_TRUE(src.Render(&dc, -1, 2));
    EXPECT_EQ(surface[2 * 4 + 0], Argb(255, 10, 0, 7));
    EXPECT_EQ(surface[2 * 4 + 1], Argb(255, 20, 0, 7));
    EXPECT_EQ(surface[2 * 4 + 2], 0u);
    EXPECT_EQ(surface[1 * 4 + 0], 0u);
    // Entirely off the target: nothing to do, no failure.
    EXPECT_TRUE(src.Render(&dc, 100, 100));
    // CenterOnDestXY puts the middle of the picture at (destX, destY): 3 div 2 = 1, 2 div 2 = 1.
    std::fill(surface.begin(), surface.end(), 0u);
    ASSERT_TRUE(src.Render(&dc, 2, 1, 0, 0, 0, 0, 0, 0, 100, true, true, nullptr, -1, 0, 0, true));
    EXPECT_EQ(surface[0 * 4 + 1], Argb(255, 0, 0, 7));
    EXPECT_EQ(surface[1 * 4 + 3], Argb(255, 20, 10, 7));
}

TEST(Render, NegativeSourceWidthMirrors) {
    cImage32 src;
    ASSERT_TRUE(src.InitializeDIB(100, 1));
    for (int x = 0; x < 100; ++x) SetPx(src, x, 0, Argb(255, uint8_t(x), 0, 0));
    for (bool gdi : {true, false}) {
        src.isGDIplusEnabled(gdi);
        cImage32 dst;
        ASSERT_TRUE(dst.InitializeDIB(100, 1));
        ASSERT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, -100, 0, 100, true, true, &dst));
        for (int x = 0; x < 100; ++x) ASSERT_EQ(R(Px(dst, x, 0)), unsigned(99 - x)) << "gdi=" << gdi << " x=" << x;
    }
}

TEST(Render, WholeTurnsAreNoRotation) {
    cImage32 src;
    ASSERT_TRUE(src.InitializeDIB(6, 4));
    std::mt19937 rng(3);
    FillRandom(src, rng);
    auto draw = [&](float angle) {
        cImage32 dst;
        EXPECT_TRUE(dst.InitializeDIB(10, 10));
        EXPECT_TRUE(src.Render(nullptr, 2, 3, 0, 0, 0, 0, 0, 0, 100, true, true, &dst, -1, 0, angle));
        return Pixels(dst);
    };
    const ByteArray flat = draw(0);
    EXPECT_EQ(draw(360), flat);
    EXPECT_EQ(draw(720), flat);
    EXPECT_EQ(draw(-360), flat);
    EXPECT_NE(draw(0.5f), flat);
}

TEST(Render, QuarterTurnAboutTheDestinationCentre) {
    // A 4 x 2 picture turned 90 degrees clockwise about the centre of its
    // rectangle (4, 3) in a 8 x 6 target covers x 3..4, y 1..4.
    cImage32 src, dst;
    ASSERT_TRUE(src.InitializeDIB(4, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) SetPx(src, x, y, Argb(255, uint8_t(40 * x + 10), uint8_t(100 * y + 10), 0));
    ASSERT_TRUE(dst.InitializeDIB(8, 6));
    ASSERT_TRUE(src.Render(nullptr, 2, 2, 0, 0, 0, 0, 0, 0, 100, true, true, &dst, -1, 0, 90));
    // Clockwise: the picture's top-left corner ends at the top-right.
    auto near = [](uint32_t got, uint32_t want) {
        for (int s = 0; s < 32; s += 8)
            if (std::abs(int((got >> s) & 255) - int((want >> s) & 255)) > 2) return false;
        return true;
    };
    EXPECT_TRUE(near(Px(dst, 4, 1), Px(src, 0, 0))) << std::hex << Px(dst, 4, 1);
    EXPECT_TRUE(near(Px(dst, 3, 1), Px(src, 0, 1))) << std::hex << Px(dst, 3, 1);
    EXPECT_TRUE(near(Px(dst, 4, 4), Px(src, 3, 0))) << std::hex << Px(dst, 4, 4);
    EXPECT_TRUE(near(Px(dst, 3, 4), Px(src, 3, 1))) << std::hex << Px(dst, 3, 4);
    EXPECT_EQ(Px(dst, 1, 2), 0u);
    EXPECT_EQ(Px(dst, 6, 3), 0u);
}

// Grey and light take the drawing engine's path (colour matrix) or, with it
// disabled, the own path; at 1:1 both give the same pixels.
// MakeGrayScale gives what a grey draw gives.
TEST(Render, GreyAndLightInBothPathsAndMakeGrayScale) {
    cImage32 src;
    ASSERT_TRUE(src.InitializeDIB(2, 1));
    SetPx(src, 0, 0, Argb(255, 200, 100, 50));
    SetPx(src, 1, 0, Argb(128, 100, 20, 0));
    struct Case {
        int grey;
        float light;
        uint32_t want0, want1;
    } cases[] = {
        // 0.299 * 200 + 0.587 * 100 + 0.114 * 50 = 124.2
        {0, 0, Argb(255, 124, 124, 124), Argb(128, 42, 42, 42)},
        {9, 0, Argb(255, 124, 124, 124), Argb(128, 42, 42, 42)},  // outside -1..7 is formula 0
        {3, 0, Argb(255, 175, 175, 175), Argb(128, 82, 82, 82)},
        // Light 100: every colour reaches its alpha.
        {-1, 100, Argb(255, 255, 255, 255), Argb(128, 128, 128, 128)},
        {-1, -100, Argb(255, 0, 0, 0), Argb(128, 0, 0, 0)},
        {-1, 500, Argb(255, 200, 100, 50), Argb(128, 100, 20, 0)},  // out of range: no change
        {-1, 0, Argb(255, 200, 100, 50), Argb(128, 100, 20, 0)},
    };
    for (const auto& c : cases) {
        if (c.light != 0) continue;
        cImage32 grey;
        ASSERT_TRUE(src.CopyImageTo(grey));
        ASSERT_TRUE(grey.MakeGrayScale(c.grey));
        EXPECT_EQ(Px(grey, 0, 0), c.want0) << c.grey;
        EXPECT_EQ(Px(grey, 1, 0), c.want1) << c.grey;
    }
    EXPECT_FALSE(cImage32().MakeGrayScale(0));
    for (bool gdi : {true, false})
        for (const auto& c : cases) {
            src.isGDIplusEnabled(gdi);
            cImage32 dst;
            ASSERT_TRUE(dst.InitializeDIB(2, 1));
            ASSERT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 100, true, true, &dst, c.grey, c.light));
            EXPECT_EQ(Px(dst, 0, 0), c.want0) << gdi << " " << c.grey << " " << c.light;
            EXPECT_EQ(Px(dst, 1, 0), c.want1) << gdi << " " << c.grey << " " << c.light;
        }
}

TEST(Render, StretchedDrawsInEveryPath) {
    cImage32 src;
    ASSERT_TRUE(src.InitializeDIB(2, 2));
    SetPx(src, 0, 0, Argb(255, 255, 0, 0));
    SetPx(src, 1, 0, Argb(255, 0, 255, 0));
    SetPx(src, 0, 1, Argb(0, 0, 0, 0));
    SetPx(src, 1, 1, Argb(128, 0, 0, 128));
    struct Case {
        const char* what;
        bool hq, gdi, blend;
    } cases[] = {{"nearest blit", false, true, true},
                 {"bicubic engine", true, true, true},
                 {"nearest engine", false, true, false},
                 {"own linear", true, false, false},
                 {"own nearest", false, false, false}};
    for (const auto& c : cases) {
        src.HighQualityInterpolation(c.hq);
        src.isGDIplusEnabled(c.gdi);
        src.isAlphaBlendFriendly(c.blend);
        cImage32 dst;
        ASSERT_TRUE(dst.InitializeDIB(8, 8));
        ASSERT_TRUE(src.Render(nullptr, 0, 0, 8, 8, 0, 0, 0, 0, 100, true, true, &dst)) << c.what;
        EXPECT_TRUE(ValidPremultiplied(dst)) << c.what;
        // Corners keep their source colours; nearest keeps every 4 x 4 block exact.
        EXPECT_EQ(Px(dst, 0, 0), Px(src, 0, 0)) << c.what;
        EXPECT_EQ(Px(dst, 0, 7), 0u) << c.what;
        if (!c.hq) {
            EXPECT_EQ(Px(dst, 6, 6), Px(src, 1, 1)) << c.what;
        }
    }
}

TEST(ScaleImage, FittedSizes) {
    cImage32 img;
    int w = -1, h = -1;
    img.ScaleImage(10, 10, w, h);  // no image: nothing written
    EXPECT_EQ(w, -1);
    ASSERT_TRUE(img.InitializeDIB(400, 300));
    struct Case {
        int dw, dh, mode, w, h;
    } cases[] = {{800, 600, 1, 400, 300}, {800, 600, 0, 800, 600}, {200, 200, 1, 200, 150}, {200, 200, 0, 200, 150},
                 {123, 77, 2, 123, 77},   {1, 1, 3, 400, 300},     {1, 1, -4, 400, 300},    {800, 100, 1, 133, 100}};
    for (const auto& c : cases) {
        img.ScaleImage(c.dw, c.dh, w, h, c.mode);
        EXPECT_EQ(w, c.w) << c.dw << "x" << c.dh << " mode " << c.mode;
        EXPECT_EQ(h, c.h) << c.dw << "x" << c.dh << " mode " << c.mode;
    }
}

TEST(Resize, SameSizeKeepsTheStorageAndOtherSizesKeepTheFields) {
    cImage32 img;
    EXPECT_FALSE(img.Resize(4, 4));
    ASSERT_TRUE(img.InitializeDIB(4, 4));
    Fill(img, Argb(255, 1, 2, 3));
    img.SetImageType(7);
    img.Alpha(2);
    img.Tag(std::string("mine"));
    const uint8_t* before = img.BitsPointer();
    EXPECT_TRUE(img.Resize(4, 4));
    EXPECT_TRUE(img.Resize(0, 0));
    EXPECT_EQ(img.BitsPointer(), before);
    ASSERT_TRUE(img.Resize(8, 2));
    EXPECT_EQ(img.Width(), 8);
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(img.ImageType(), 7);
    EXPECT_EQ(img.Alpha(), 2);
    EXPECT_EQ(std::any_cast<std::string>(img.Tag()), "mine");
    EXPECT_EQ(Px(img, 7, 1), Argb(255, 1, 2, 3));  // a flat picture stays flat
}

TEST(CopyImageTo, CarriesTypeAndAlphaAndResizesWithTheSourceSettings) {
    cImage32 src, dst;
    EXPECT_FALSE(src.CopyImageTo(dst));
    ASSERT_TRUE(src.InitializeDIB(4, 1));
    for (int x = 0; x < 4; ++x) SetPx(src, x, 0, Argb(128, uint8_t(x * 40), 0, 0));
    src.SetImageType(9);
    src.Alpha(2);
    src.SetOriginalFormat(ByteArray{1, 2, 3});
    src.HighQualityInterpolation(false);  // nearest neighbour: doubling repeats each pixel
    ByteArray kept;
    for (bool resize : {false, true}) {
        ASSERT_TRUE(dst.InitializeDIB(1, 1));
        ASSERT_TRUE(src.CopyImageTo(dst, resize ? 8 : 0, 0, resize));
        ASSERT_EQ(dst.Width(), resize ? 8 : 4);
        for (int x = 0; x < dst.Width(); ++x) EXPECT_EQ(Px(dst, x, 0), Px(src, resize ? x / 2 : x, 0)) << x;
        EXPECT_EQ(dst.ImageType(), 9);
        EXPECT_EQ(dst.Alpha(), 2);
        EXPECT_EQ(dst.GetOriginalFormat(kept), resize);
        EXPECT_TRUE(dst.HighQualityInterpolation()) << "the target keeps its own settings";
    }
    EXPECT_EQ(kept, (ByteArray{1, 2, 3}));
    EXPECT_FALSE(src.CopyImageTo(src));
}

TEST(PixelOps, MirrorImage) {
    cImage32 img;
    EXPECT_FALSE(img.MirrorImage(true, true));
    ASSERT_TRUE(img.InitializeDIB(3, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) SetPx(img, x, y, Argb(255, uint8_t(x), uint8_t(y), 0));
    for (int axes = 0; axes < 4; ++axes) {
        cImage32 m;
        ASSERT_TRUE(img.CopyImageTo(m));
        ASSERT_TRUE(m.MirrorImage(axes & 1, axes & 2));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(Px(m, x, y), Px(img, axes & 1 ? 2 - x : x, axes & 2 ? 2 - y : y)) << axes << " " << x << y;
    }
}

TEST(Resize, NegativeSizesMirrorInEveryMode) {
    for (int mode = 0; mode < 3; ++mode) {
        cImage32 img;
        ASSERT_TRUE(img.InitializeDIB(3, 2));
        for (int x = 0; x < 3; ++x) SetPx(img, x, 0, Argb(255, uint8_t(x * 100), 0, 0)), SetPx(img, x, 1, Argb(255, 0, 9, 0));
        img.HighQualityInterpolation(mode == 0);
        img.isGDIplusEnabled(mode != 2);
        ASSERT_TRUE(img.Resize(-3, -2)) << mode;
        EXPECT_EQ(Px(img, 0, 1), Argb(255, 200, 0, 0)) << mode;
        EXPECT_EQ(Px(img, 2, 1), Argb(255, 0, 0, 0)) << mode;
        EXPECT_EQ(Px(img, 1, 0), Argb(255, 0, 9, 0)) << mode;
    }
}

// Shrinking by 22 must average, not pick: a fine checker on a smooth ramp
// comes out as the ramp, as a box filter gives it.
TEST(Resize, ShrinkDoesNotAliasAgainstABoxFilter) {
    const int f = 22, ow = 24, oh = 12;
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(ow * f, oh * f));
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const int ramp = 60 + x * 100 / img.Width() + y * 30 / img.Height();  // v stays in 10..240
            const int v = ramp + (((x + y) & 1) ? 50 : -50);
            SetPx(img, x, y, Argb(255, uint8_t(v), uint8_t(255 - v), uint8_t(ramp)));
        }
    std::vector<double> box(size_t(ow * oh) * 3, 0.0);
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const uint32_t p = Px(img, x, y);
            double* b = &box[(size_t(y / f) * ow + size_t(x / f)) * 3];
            b[0] += R(p), b[1] += G(p), b[2] += B(p);
        }
    ASSERT_TRUE(img.Resize(ow, oh));
    // Near the border (the filter reaches two output pixels) it sees one side of the ramp only; a box does not
    // look beyond its cell: allow that bias there, nothing like the checker's 50.
    double worst = 0, worstInside = 0;
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            const uint32_t p = Px(img, x, y);
            const double* b = &box[(size_t(y) * ow + size_t(x)) * 3];
            const double d = std::max({std::abs(R(p) - b[0] / (f * f)), std::abs(G(p) - b[1] / (f * f)),
                                       std::abs(B(p) - b[2] / (f * f))});
            worst = std::max(worst, d);
            if (x > 1 && y > 1 && x < ow - 2 && y < oh - 2) worstInside = std::max(worstInside, d);
            EXPECT_EQ(A(p), 255u);
        }
    EXPECT_LT(worstInside, 1.5);
    EXPECT_LT(worst, 8.0);
}

TEST(Resize, EnlargingASharpAlphaEdgeStaysValidPremultiplied) {
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(6, 6));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) SetPx(img, x, y, (x + y) % 3 ? Argb(255, 255, 255, 0) : 0u);
    ASSERT_TRUE(img.Resize(41, 37));
    EXPECT_TRUE(ValidPremultiplied(img));
}

TEST(PixelOps, RemoveAlpha) {
    cImage32 img;
    EXPECT_FALSE(img.RemoveAlpha());
    ASSERT_TRUE(img.InitializeDIB(2, 1));
    SetPx(img, 0, 0, Argb(128, 100, 50, 10));
    ASSERT_TRUE(img.RemoveAlpha());
    EXPECT_EQ(Px(img, 0, 0), Argb(255, 100, 50, 10));
    EXPECT_EQ(Px(img, 1, 0), Argb(255, 0, 0, 0));
    EXPECT_EQ(img.Alpha(), 2);
}

TEST(PixelOps, MakeLighterDarker) {
    cImage32 img;
    EXPECT_FALSE(img.MakeLighterDarker(10));
    ASSERT_TRUE(img.InitializeDIB(3, 1));
    const uint32_t start[] = {Argb(255, 100, 0, 250), Argb(128, 100, 20, 0), 0};
    struct Case {
        float percent;
        uint32_t want[3];
    } cases[] = {
        {150, {start[0], start[1], 0}},
        {0, {start[0], start[1], 0}},
        {100, {Argb(255, 255, 255, 255), Argb(128, 128, 128, 128), 0}},
        {-100, {Argb(255, 0, 0, 0), Argb(128, 0, 0, 0), 0}},
        // 20 % of 255 = 51; at alpha 128: round(128 * 51) div 255 = 25.
        {20, {Argb(255, 151, 51, 255), Argb(128, 125, 45, 25), 0}},
        {-20, {Argb(255, 49, 0, 199), Argb(128, 75, 0, 0), 0}},
    };
    for (const auto& c : cases) {
        for (int x = 0; x < 3; ++x) SetPx(img, x, 0, start[x]);
        ASSERT_TRUE(img.MakeLighterDarker(c.percent));
        for (int x = 0; x < 3; ++x) EXPECT_EQ(Px(img, x, 0), c.want[x]) << c.percent << " x=" << x;
    }
}

TEST(PixelOps, BlendToColor) {
    cImage32 img;
    EXPECT_FALSE(img.BlendToColor(0));
    ASSERT_TRUE(img.InitializeDIB(3, 1));
    const uint32_t start[] = {Argb(255, 100, 0, 250), Argb(128, 100, 20, 0), 0};
    const uint32_t colour = 0x00336699;  // R 0x99, G 0x66, B 0x33
    struct Case {
        int opacity;
        uint32_t want[3];
    } cases[] = {
        {0, {start[0], start[1], 0}},
        {-3, {start[0], start[1], 0}},
        {100, {Argb(255, 0x99, 0x66, 0x33), Argb(128, 76, 51, 25), 0}},
        {250, {Argb(255, 0x99, 0x66, 0x33), Argb(128, 76, 51, 25), 0}},
        // (100 * 67 + 153 * 33) / 100 = 117; the partial pixel blends to the colour at its own alpha.
        {33, {Argb(255, 117, 33, 184), Argb(128, 92, 30, 8), 0}},
    };
    for (const auto& c : cases) {
        for (int x = 0; x < 3; ++x) SetPx(img, x, 0, start[x]);
        ASSERT_TRUE(img.BlendToColor(colour, c.opacity));
        for (int x = 0; x < 3; ++x) EXPECT_EQ(Px(img, x, 0), c.want[x]) << c.opacity << " x=" << x;
    }
}

TEST(DropShadow, DepthZeroCopiesTheAlphaAndDepthIsClamped) {
    cImage32 none;
    EXPECT_EQ(none.CreateDropShadow(), nullptr);
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(3, 2));
    SetPx(img, 0, 0, Argb(255, 1, 1, 1));
    SetPx(img, 1, 1, Argb(128, 1, 1, 1));
    const auto flat = img.CreateDropShadow(0, 0x00204080);  // R 0x80, G 0x40, B 0x20
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat->Width(), 3);
    EXPECT_EQ(flat->Height(), 2);
    EXPECT_EQ(Px(*flat, 0, 0), Argb(255, 0x80, 0x40, 0x20));
    EXPECT_EQ(Px(*flat, 1, 1), Argb(128, 0x80 * 128 / 255, 0x40 * 128 / 255, 0x20 * 128 / 255));
    EXPECT_EQ(Px(*flat, 2, 0), 0u);
    EXPECT_EQ(flat->Alpha(), 2);
    EXPECT_EQ(flat->ImageType(), 7);
    const auto deep = img.CreateDropShadow(20);
    const auto ten = img.CreateDropShadow(10);
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->Width(), 23);
    EXPECT_EQ(deep->Height(), 22);
    EXPECT_EQ(Pixels(*deep), Pixels(*ten));
    EXPECT_EQ(img.CreateDropShadow(-4)->Width(), 3);
}

TEST(DropShadow, RunningSumsEqualTheDirectWindowSum) {
    std::mt19937 rng(5);
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(17, 11));
    FillRandom(img, rng);
    for (int depth : {1, 3, 10}) {
        const int n = depth * 2;
        const auto shadow = img.CreateDropShadow(depth, 0xFFFFFF);
        ASSERT_NE(shadow, nullptr);
        for (int y = 0; y < 11 + n; ++y)
            for (int x = 0; x < 17 + n; ++x) {
                unsigned sum = 0;
                for (int j = y - n; j <= y; ++j)
                    for (int i = x - n; i <= x; ++i)
                        if (i >= 0 && j >= 0 && i < 17 && j < 11) sum += A(Px(img, i, j));
                const unsigned a = sum / unsigned((n + 1) * (n + 1));
                ASSERT_EQ(Px(*shadow, x, y), Argb(a, a, a, a)) << depth << " at " << x << "," << y;
            }
    }
}
