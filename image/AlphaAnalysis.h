#pragma once
// Classifies freshly decoded 32-bit BGRA pixels by their alpha bytes: no
// transparency, simple (on/off) transparency, partial transparency, and
// whether the colours are already premultiplied.
#include <cstddef>
#include <cstdint>

struct AlphaClass {
    int ImageType = 1;  // 1 no alpha (made opaque), 6 straight alpha, 7 valid premultiplied alpha
    int Alpha = 0;      // cImage32::Alpha code: 0 none, 1 simple, 2 partial
};

// Scan mode over `pixelCount` pixels at `bits` (rows back to back). A picture
// whose alpha bytes are all 0 or all 255 has no alpha and, with `premultiply`,
// every alpha byte becomes 255. With `premultiply`, straight-alpha pixels are
// premultiplied in place (ImageType stays 6 to tell where they came from).
AlphaClass AnalyseAlpha(uint8_t* bits, size_t pixelCount, bool premultiply);

// Opaque mode: every alpha byte becomes 255, colours unchanged. ImageType 1.
AlphaClass MakeAlphaOpaque(uint8_t* bits, size_t pixelCount);

// For pixels whose file declares what its alpha bytes mean, so nothing is
// guessed: straight alpha is premultiplied (c * a div 255); premultiplied
// colours above their alpha are cut to it. ImageType 1 when every pixel is
// opaque, else 6 (straight) or 7 (premultiplied); Alpha 0, 1 or 2 as above.
AlphaClass ApplyDeclaredAlpha(uint8_t* bits, size_t pixelCount, bool premultiplied);
