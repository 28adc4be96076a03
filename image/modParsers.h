#pragma once
// The decoder chain: turns a file or a byte range into a cImage32 by trying
// the decoders in their fixed order.
#include <cstddef>
#include <cstdio>
#include <string>

#include "image/cImage32.h"

// With `file` (opened for reading, FileName its name) the decoders read the
// file; otherwise `bytes` from streamStart for streamLength bytes (the caller
// has checked that range). Answers true when `image` holds a picture.
bool LoadPicture_Core(cImage32& image, std::FILE* file, const std::string& FileName, const ByteArray* bytes,
                      int iconCx, int iconCy, size_t streamStart, size_t streamLength, bool SaveFormat,
                      int iconBitDepth);

// Reads a whole open file from offset 0 into `out`; false on a read error or
// a file larger than kMaxSourceFileBytes.
inline constexpr size_t kMaxSourceFileBytes = size_t(1) << 30;
bool ReadWholeFile(std::FILE* file, ByteArray& out);
