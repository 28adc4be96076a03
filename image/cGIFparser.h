#pragma once
// GIF decoder (GIF87a / GIF89a): the first image of the file at its own size,
// with the transparent colour of its graphic control extension.
#include <cstddef>
#include <cstdint>

#include "image/cImage32.h"

class cGIFparser {
public:
    // False when the data is not a GIF this decoder can use (wrong signature,
    // no image, no colour table): the decoder chain goes on. True when the
    // data was taken as a GIF; cHost then holds the frame, or nothing when
    // the data was damaged.
    bool LoadStream(const ByteArray& inStream, cImage32& cHost, size_t streamStart = 0, size_t streamLength = 0);
    bool LoadBytes(const uint8_t* data, size_t size, cImage32& cHost);

    // Of the last decoded frame: its transparent index (-1 for none) and its
    // place on the logical screen.
    int TransparentIndex() const { return m_Transparent; }
    int FrameLeft() const { return m_Left; }
    int FrameTop() const { return m_Top; }

private:
    int m_Transparent = -1;
    int m_Left = 0;
    int m_Top = 0;
};

// Decodes GIF LZW data (variable-length codes, clear and end codes, a full
// table that waits for the next clear) into `out`, stopping after outCount
// indexes; indexes the data does not supply stay as they are. False for a
// code the table does not hold yet, and for an index above 255.
bool GifLzwDecode(const uint8_t* data, size_t size, int minCodeSize, uint8_t* out, size_t outCount);
