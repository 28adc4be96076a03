#pragma once
// PNG decoder (ISO/IEC 15948): every colour type and bit depth, Adam7, into
// premultiplied bottom-up BGRA. Ancillary chunks (gAMA, bKGD, text...) are
// skipped. The library's own inflate decodes the data; CRCs are checked
// exactly while zlib is enabled (the default).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "image/cImage32.h"

class cPNGparser {
public:
    // Why the last decode gave no image (None after a success or for data
    // that is not PNG at all).
    enum class Error {
        None,
        NotPng,
        Truncated,     // a chunk runs past the end of the data
        BadHeader,     // IHDR missing, out of order or with invalid fields
        BadPalette,    // PLTE length not a multiple of 3
        BadCrc,        // critical chunk CRC mismatch (zlib enabled only)
        NoImageData,   // no IDAT data
        Decompression, // the zlib stream is corrupt or too short
        Allocation,    // memory ran out (the image or a buffer)
    };

    // Decodes the streamLength bytes of Stream from streamOffset (0: to the
    // end). False when the data is not PNG; true when it is, whether or not
    // dibClass then holds an image (a corrupt PNG leaves it empty).
    bool LoadStream(const ByteArray& Stream, cImage32& dibClass, size_t streamOffset = 0, size_t streamLength = 0,
                    long GlobalToken = 0);
    bool LoadBytes(const uint8_t* data, size_t size, cImage32& dibClass);
    // Same from an open file, read chunk by chunk (the whole file is never
    // held). FileName is kept for interface symmetry with the other loaders.
    bool LoadFile(std::FILE* FileHandle, const std::string& FileName, cImage32& dibClass, long GlobalToken = 0);

    Error LastError() const { return m_Error; }

private:
    Error m_Error = Error::None;
};

// True when the 8 bytes at p are the PNG signature (p must hold 8 bytes).
bool IsPngSignature(const uint8_t* p);
