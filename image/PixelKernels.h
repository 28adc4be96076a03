#pragma once
// Row kernels shared by the drawing paths and the pixel operations. Pixels
// are premultiplied BGRA; every kernel keeps colour <= alpha for valid input.
#include <cstddef>
#include <cstdint>

// Source-over of n pixels with constant opacity op (0..255):
//   a' = a * op / 255,  d = ((255 - a') * d + s * op) / 255   (integer division)
// which for op 255 is d = s + (255 - a) * d / 255; a source alpha of 0
// leaves the destination as it is (at full opacity even when the source's
// colour bytes are, wrongly, not 0). With useSourceAlpha false every source
// pixel counts as opaque (a constant-alpha blend of all four bytes).
void BlendRow(uint8_t* dst, const uint8_t* src, size_t n, unsigned op, bool useSourceAlpha = true);

// Copies n pixels; true when every alpha byte is 255.
bool CopyPixelsOpaque(uint8_t* dst, const uint8_t* src, size_t n);
// True when every alpha byte of the n pixels is 255.
bool AllOpaque(const uint8_t* px, size_t n);

// The grey weights of formula f (-1 none; 0 and anything outside -1..7 the
// default 0.299/0.587/0.114).
struct GreyWeights {
    float r, g, b;
};
GreyWeights GreyFormula(int formula);
// Each of B, G, R becomes the rounded grey value.
void GreyRow(uint8_t* px, size_t n, int formula);

// Lighten (Percent > 0) or darken (< 0) as MakeLighterDarker does: per pixel
// k = round(A * delta) / 255 with delta = Percent / 100 * 255; colours move
// by k, never below 0 nor above the pixel's alpha. Transparent pixels stay.
class LightAdjuster {
public:
    explicit LightAdjuster(float Percent);
    void Apply(uint8_t* px, size_t n) const;

private:
    int16_t m_k[256];
    bool m_lighten = false;
};
