#pragma once
// The library's own Deflate decoder (RFC 1951) for zlib streams (RFC 1950),
// used by the PNG decoder.
#include <cstddef>
#include <cstdint>

// One piece of a stream kept in several pieces (the IDAT chunks of a PNG,
// where they lie).
struct InflateSpan {
    const uint8_t* data;
    size_t size;
};

// Takes the decoded bytes in order, a piece at a time.
class InflateSink {
public:
    virtual void Take(const uint8_t* data, size_t n) = 0;

protected:
    ~InflateSink() = default;
};

// Decodes the zlib stream src[0, srcLen) into dst. The two header bytes are
// skipped unchecked and the Adler-32 trailer is not read. Writing stops after
// dstSize bytes; anything the stream holds beyond that is cut off. Answers
// true only when dst was filled completely from the stream; a corrupt or
// truncated stream, or one that ends early, answers false.
bool OwnInflate(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstSize);

// The same for a stream in pieces, decoding outSize bytes through a window
// of a few hundred kilobytes and handing them to sink as they are ready, so
// the whole output is never held. On failure the sink may already have
// taken part of the output.
bool OwnInflateStream(const InflateSpan* spans, size_t count, size_t outSize, InflateSink& sink);
