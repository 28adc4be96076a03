#pragma once
// The library's own Deflate decoder (RFC 1951) for zlib streams (RFC 1950),
// used by the PNG decoder when zlib is switched off or rejects the data.
#include <cstddef>
#include <cstdint>

// Decodes the zlib stream src[0, srcLen) into dst. The two header bytes are
// skipped unchecked and the Adler-32 trailer is not read. Writing stops after
// dstSize bytes; anything the stream holds beyond that is cut off. Answers
// true only when dst was filled completely from the stream; a corrupt or
// truncated stream, or one that ends early, answers false.
bool OwnInflate(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstSize);
