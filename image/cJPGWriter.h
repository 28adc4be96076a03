#pragma once
// Baseline JPEG encoder for cImage32 pictures (ISO/IEC 10918-1, sequential
// DCT, Huffman coding), written in a JFIF file.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class cImage32;

class cJPGWriter {
public:
    cJPGWriter();

    // Encodes the image; with a file name the bytes are also written to that
    // new file. Transparent and partly transparent pixels are shown over
    // TransparentFillColor (0x00BBGGRR). False on any failure (see LastError).
    bool Save(const std::string& fileName, std::vector<uint8_t>& out, const cImage32& image, uint8_t Quality,
              uint32_t TransparentFillColor);
    // Encodes premultiplied BGRA, bottom-up pixels.
    bool Encode(const uint8_t* bits, int32_t width, int32_t height, uint8_t Quality, uint32_t TransparentFillColor,
                std::vector<uint8_t>& out);
    // Reason of the last failure; empty after a success.
    const std::string& LastError() const { return lastError_; }

    // One base table entry scaled for Quality (result 1 ... 255).
    static uint8_t ScaleQuantizationEntry(uint32_t base, uint8_t Quality);
    // The luminance (0) or chrominance (1) table scaled for Quality, zigzag order.
    std::array<uint8_t, 64> ScaledTable(int table, uint8_t Quality) const;

private:
    std::array<uint8_t, 64> zigzag_{};  // natural index of the k-th zigzag coefficient
    std::array<std::array<uint8_t, 64>, 2> baseZigzag_{};
    std::string lastError_;
};
