#pragma once
// The finished frame leaves the compositing surface two ways: as the
// composite file, a 32-bit bottom-up Windows bitmap of the colours as drawn
// (premultiplied), and as the transition's FrameImage, which holds exactly
// what loading that file gives. Both are made straight from the surface's
// pixels, without going through the disk and back.
#include <string>

#include "image/cImage32.h"
#include "output/Surface.h"

// Writes the file in one pass. A folder of that name is not replaced. False
// (and no partial file left) when it cannot be written.
bool SaveCompositeFile(const std::string& path, const PictureSurface& surface);

// `frame` becomes the surface's picture, with the transparency class and
// source type that the bitmap decoder gives the composite file.
bool CopyCompositeFrame(const PictureSurface& surface, cImage32& frame);
