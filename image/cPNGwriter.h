#pragma once
// PNG encoder for cImage32 pictures (ISO/IEC 15948), with the optional text,
// background and time chunks set through cImage32::PngPropertySet.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/cImage32.h"

class cPNGwriter {
public:
    // Property ids. 1 ... 512 are the standard text keywords, one bit each.
    static constexpr int32_t PropTitle = 1;
    static constexpr int32_t PropSource = 256;
    static constexpr int32_t PropComment = 512;
    // Text under the keyword given as Caption_Misc.
    static constexpr int32_t PropMiscText = 1024;
    // Modification time: any text, kept as given; tIME takes it when it reads
    // "YYYY-MM-DD HH:MM:SS" (UTC), else the moment of saving.
    static constexpr int32_t PropTime = 2048;
    // Background colour 0x00BBGGRR, written as bKGD.
    static constexpr int32_t PropBackground = 4096;
    // Row filter for the image data: 0 ... 4 forces that PNG filter on every
    // row, 5 chooses per row in every layout. Without it each row is chosen
    // too, except in palette and sub-byte layouts, which stay unfiltered.
    static constexpr int32_t PropFilter = 8192;

    // Sets one property, or removes it when the value is std::monostate.
    // Text entries and the time take text, the background and the filter a
    // number. False for an unknown id, a keyword or text PNG cannot carry,
    // or a value of the wrong kind or range.
    bool SetProperty(int32_t id, const PngPropertyValue& value, std::string_view captionMisc);
    // The stored value (std::monostate when absent); id 0 gives the mask of
    // the properties present.
    PngPropertyValue GetProperty(int32_t id, std::string_view captionMisc) const;
    bool Empty() const { return PropertyMask() == 0; }

    // Encodes the image; with a file name the bytes are also written to that
    // new file, otherwise only returned in out. Needs zlib.
    bool Save(const cImage32& image, const std::string& fileName, std::vector<uint8_t>& out) const;
    // Encodes premultiplied BGRA, bottom-up pixels.
    bool Encode(const uint8_t* bits, int32_t width, int32_t height, std::vector<uint8_t>& out) const;

private:
    struct TextEntry {
        std::string keyword;
        std::string text;
    };
    uint32_t PropertyMask() const;

    std::array<std::optional<std::string>, 10> standardText_;
    std::vector<TextEntry> miscText_;
    std::optional<std::string> timeText_;
    std::optional<uint32_t> background_;
    std::optional<int> filter_;
};
