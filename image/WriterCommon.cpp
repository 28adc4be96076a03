#include "image/WriterCommon.h"

#include <array>

const uint8_t* UnpremultiplyTable() {
    static const std::array<uint8_t, 65536> table = [] {
        std::array<uint8_t, 65536> t{};
        for (uint32_t a = 1; a < 256; ++a)
            for (uint32_t c = 0; c < 256; ++c) {
                const uint32_t u = (255 * c + a - 1) / a;
                t[a * 256 + c] = uint8_t(u > 255 ? 255 : u);
            }
        return t;
    }();
    return table.data();
}
