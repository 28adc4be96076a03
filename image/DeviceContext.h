#pragma once
// The pixel target that cImage32::Render draws into: premultiplied BGRA
// pixels, 4 bytes each, either an image's bottom-up buffer or an output
// surface's top-down buffer. A default-constructed context is "no context".
#include <cstddef>
#include <cstdint>

struct DeviceContext {
    uint8_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
    ptrdiff_t Stride = 0;   // bytes from one row in memory to the next
    bool BottomUp = false;  // true: the first row in memory is the bottom row

    explicit operator bool() const { return Bits != nullptr && Width > 0 && Height > 0; }

    // Start of picture row y (0 = top row as seen).
    uint8_t* Row(int y) const { return Bits + (BottomUp ? ptrdiff_t(Height - 1 - y) : ptrdiff_t(y)) * Stride; }

    // A top-down surface buffer of width x height pixels with the given stride.
    static DeviceContext TopDown(uint8_t* bits, int width, int height, ptrdiff_t stride) {
        return DeviceContext{bits, width, height, stride, false};
    }
};
