#pragma once
// ICO and CUR decoder: the directory, the choice of the entry that best fits
// a wanted size and depth, and the entry's decoding (PNG entries through the
// PNG decoder, bitmap entries with their AND mask).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/cImage32.h"

struct IconEntry {
    int width = 0, height = 0;  // as stored: 0 means 256
    int colorCount = 0, reserved = 0;
    int planes = 0;             // 255 marks a PNG entry
    int bitCount = 0;           // 0 marks an entry that cannot be used
    uint32_t bytesInRes = 0, imageOffset = 0;
    uint32_t headerSize = 0;    // first 32-bit value of a bitmap entry's data
};

class cICOparser {
public:
    // False when the data is not an icon or cursor file, or none of its
    // entries can be chosen; true when cHost holds the chosen entry.
    bool LoadStream(const ByteArray& inStream, int iconCx, int iconCy, cImage32& cHost, size_t streamOffset = 0,
                    size_t streamLength = 0, int icoBitDepth = 32, long GlobalToken = 0);
    bool LoadBytes(const uint8_t* data, size_t size, int iconCx, int iconCy, cImage32& cHost, int icoBitDepth = 32);

    // The directory of the last file read; Index is 1-based.
    int IconCount() const { return int(m_Entries.size()); }
    int Width(int Index) const;
    int Height(int Index) const;
    bool IsIconPNG(int Index) const;
    int bitDepth(int Index) const;
    int ColorCount(int Index) const;
    int64_t ColorByteOffset(int Index) const;
    int ChosenIndex() const { return m_Chosen; }

    // The entry that best fits W x H at depth D (1-based; 0 for none).
    static int ChooseEntry(const std::vector<IconEntry>& entries, int W, int H, int D);

private:
    bool Decode(const uint8_t* data, size_t size, int iconCx, int iconCy, cImage32& cHost, int icoBitDepth);

    std::vector<IconEntry> m_Entries;
    int m_Chosen = 0;
};
