#include "status/FrameGrab.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "image/Resample.h"
#include "image/cJPGWriter.h"
#include "output/GfxOutput.h"

std::shared_ptr<cImage32> CopyOutputSurface() {
    const PictureSurface& surface = picStillA();
    auto frame = std::make_shared<cImage32>();
    if (surface.Width() <= 0 || surface.Height() <= 0 ||
        !frame->InitializeDIBUncleared(surface.Width(), surface.Height()))
        return frame;
    // The surface is top-down, the picture bottom-up: the rows turn over in
    // the one copy.
    for (int y = 0; y < surface.Height(); ++y)
        std::memcpy(frame->Row(y), surface.Bits() + y * surface.Stride(), size_t(surface.Stride()));
    return frame;
}

std::vector<uint8_t> EncodeFrame(const cImage32& frame, int width) {
    std::vector<uint8_t> jpeg;
    if (frame.Width() <= 0 || frame.Height() <= 0) return jpeg;
    const cImage32* source = &frame;
    cImage32 sized;
    if (width > 0 && width != frame.Width()) {
        const int height = std::max(1, int(std::lround(double(frame.Height()) * width / frame.Width())));
        // Bicubic widened by the shrink factor: a small frame stays sharp
        // without aliasing.
        ResampleJob job;
        job.SrcWidth = frame.Width(), job.SrcHeight = frame.Height();
        job.OutWidth = job.OutX1 = width, job.OutHeight = job.OutY1 = height;
        job.Filter = ResampleFilter::Bicubic;
        if (!sized.InitializeDIBUncleared(width, height) ||
            !ResampleRect(frame, job, [&](int y, uint8_t* pixels) { std::memcpy(sized.Row(y), pixels, size_t(width) * 4); }))
            return jpeg;
        source = &sized;
    }
    cJPGWriter writer;
    if (!writer.Encode(source->BitsPointer(), source->Width(), source->Height(), kFrameJpegQuality, 0, jpeg))
        jpeg.clear();
    return jpeg;
}
