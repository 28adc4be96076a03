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

// Decodes the zlib stream held in the given pieces, handing the first
// outSize decoded bytes to sink in order, a stretch at a time as a window of
// about 160 KB fills, so the whole output is never held. The two
// header bytes are skipped unchecked and the Adler-32 trailer is not read;
// anything the stream holds beyond outSize bytes is cut off. Answers true
// only when all outSize bytes came from the stream; a corrupt or truncated
// stream, or one that ends early, answers false (the sink may then already
// have taken part of the output).
bool OwnInflate(const InflateSpan* spans, size_t count, size_t outSize, InflateSink& sink);
