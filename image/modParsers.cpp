#include "image/modParsers.h"

#include <sys/stat.h>

#include "image/LoadGuard.h"
#include "image/cBMPparser.h"
#include "image/cGIFparser.h"
#include "image/cICOparser.h"
#include "image/cPNGparser.h"
#include "image/cTGAparser.h"

bool ReadWholeFile(std::FILE* file, ByteArray& out) {
    out.clear();
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0 || uint64_t(st.st_size) > kMaxSourceFileBytes) return false;
    out.resize(size_t(st.st_size));
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    if (std::fread(out.data(), 1, out.size(), file) != out.size()) {
        out.clear();
        return false;
    }
    return true;
}

namespace {

bool LoadUnguarded(cImage32& image, std::FILE* file, const std::string& FileName, const ByteArray* bytes, int iconCx,
                   int iconCy, size_t streamStart, size_t streamLength, bool SaveFormat, int iconBitDepth) {
    image.DestroyDIB();
    if (iconCx < 0) iconCx = 0;
    if (iconCy < 0) iconCy = 0;
    if (iconBitDepth < 0 || iconBitDepth > 32) iconBitDepth = 32;
    // PNG first, straight from the file or the byte range. A true answer means
    // "this was a PNG", even when decoding then failed: the GIF, icon and
    // bitmap decoders are skipped. The PNG decoder handles all of its own
    // errors, so none is left pending for a message to the operator.
    cPNGparser png;
    const bool isPNG = file ? png.LoadFile(file, FileName, image, image.gdiToken())
                            : png.LoadStream(*bytes, image, streamStart, streamLength, image.gdiToken());

    // The later decoders work on a byte range; with a file, read it whole once.
    ByteArray fileBytes;
    bool haveBytes = bytes != nullptr;
    auto ensureBytes = [&]() {
        if (!haveBytes && file && ReadWholeFile(file, fileBytes)) {
            bytes = &fileBytes;
            streamStart = 0;
            streamLength = fileBytes.size();
            haveBytes = true;
        }
        return haveBytes;
    };

    if (!isPNG && ensureBytes()) {
        const uint8_t* data = bytes->data() + streamStart;
        bool done = cGIFparser().LoadBytes(data, streamLength, image);
        if (!done) done = cICOparser().LoadBytes(data, streamLength, iconCx, iconCy, image, iconBitDepth);
        if (!done) done = cBMPparser::LoadStream(data, streamLength, image);
    }

    // No platform imaging library to ask here: every format it would read is
    // handled by the decoders above.

    // TGA last: it has no signature, so it only takes what nobody else did.
    if (!image.HasImage() && ensureBytes()) cTGAparser().LoadBytes(bytes->data() + streamStart, streamLength, image);
    if (!image.HasImage()) return false;

    if (SaveFormat) {
        if (file && !haveBytes) {
            ByteArray again;
            if (ReadWholeFile(file, again)) image.SetOriginalFormat(std::move(again));
        } else if (file) {
            image.SetOriginalFormat(std::move(fileBytes));
        } else {
            image.SetOriginalFormat(ByteArray(bytes->begin() + ptrdiff_t(streamStart),
                                              bytes->begin() + ptrdiff_t(streamStart + streamLength)));
        }
    }
    return true;
}

}  // namespace

bool LoadPicture_Core(cImage32& image, std::FILE* file, const std::string& FileName, const ByteArray* bytes,
                      int iconCx, int iconCy, size_t streamStart, size_t streamLength, bool SaveFormat,
                      int iconBitDepth) {
    // The whole file read at once, and the source bytes kept, may not fit.
    return GuardLoad(image, false, [&] {
        return LoadUnguarded(image, file, FileName, bytes, iconCx, iconCy, streamStart, streamLength, SaveFormat,
                             iconBitDepth);
    });
}
