#include "output/CompositeFrame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "image/AlphaAnalysis.h"
#include "image/ParallelRows.h"
#include "image/PixelKernels.h"

namespace {

constexpr size_t kHeaderBytes = 14 + 40;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// BITMAPFILEHEADER and BITMAPINFOHEADER of a bottom-up 32-bit BI_RGB picture.
void BitmapHeader(uint8_t* h, int width, int height, uint32_t pixelBytes) {
    h[0] = 'B';
    h[1] = 'M';
    Put32(h + 2, uint32_t(kHeaderBytes) + pixelBytes);
    Put32(h + 10, uint32_t(kHeaderBytes));
    Put32(h + 14, 40);
    Put32(h + 18, uint32_t(width));
    Put32(h + 22, uint32_t(height));  // positive: bottom-up
    Put16(h + 26, 1);
    Put16(h + 28, 32);
    Put32(h + 34, pixelBytes);
    Put32(h + 38, 2835);  // 72 dpi
    Put32(h + 42, 2835);
}

bool WriteAll(int fd, std::vector<iovec>& parts) {
    size_t at = 0;
    while (at < parts.size()) {
        const int count = int(std::min<size_t>(parts.size() - at, IOV_MAX));
        const ssize_t written = ::writev(fd, &parts[at], count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Skip what went out; a part written in half continues where it stopped.
        size_t left = size_t(written);
        while (at < parts.size() && left >= parts[at].iov_len) left -= parts[at++].iov_len;
        if (left > 0) {
            parts[at].iov_base = static_cast<uint8_t*>(parts[at].iov_base) + left;
            parts[at].iov_len -= left;
        }
    }
    return true;
}

}  // namespace

bool SaveCompositeFile(const std::string& path, const PictureSurface& surface) {
    const int w = surface.Width(), h = surface.Height();
    if (path.empty() || w < 1 || h < 1) return false;
    const uint64_t pixelBytes = uint64_t(w) * uint64_t(h) * 4;
    if (kHeaderBytes + pixelBytes > UINT32_MAX) return false;
    uint8_t header[kHeaderBytes] = {};
    BitmapHeader(header, w, h, uint32_t(pixelBytes));
    std::vector<iovec> parts;
    parts.reserve(size_t(h) + 1);
    parts.push_back({header, kHeaderBytes});
    for (int y = h - 1; y >= 0; --y)
        parts.push_back({const_cast<uint8_t*>(surface.Bits() + ptrdiff_t(y) * surface.Stride()), size_t(w) * 4});

    // The previous frame's file is written over in place: replacing it
    // would free its pages only to fill new ones. Anything but a plain file
    // of our own (a link, a folder) is not written through.
    struct stat st {};
    int fd = -1;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return false;
        if (S_ISREG(st.st_mode) && st.st_nlink == 1) fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && std::remove(path.c_str()) != 0) return false;
    }
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, parts) && ::ftruncate(fd, off_t(kHeaderBytes + pixelBytes)) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) std::remove(path.c_str());
    return ok;
}

bool CopyCompositeFrame(const PictureSurface& surface, cImage32& frame) {
    const int w = surface.Width(), h = surface.Height();
    if (!frame.InitializeDIBUncleared(w, h)) return false;
    std::atomic<bool> opaque{true};
    ParallelRows(h, double(w) * 8.0, [&](int from, int to) {
        bool all = true;
        for (int y = from; y < to; ++y)
            all &= CopyPixelsOpaque(frame.Row(y), surface.Bits() + ptrdiff_t(y) * surface.Stride(), size_t(w));
        if (!all) opaque = false;
    });
    // As the bitmap decoder classifies the file's pixels: a frame drawn
    // over an opaque background is always opaque, and then needs no scan.
    const AlphaClass cls = opaque ? AlphaClass{} : AnalyseAlpha(frame.BitsPointer(), size_t(w) * size_t(h), true);
    frame.SetImageType(cls.ImageType);
    frame.Alpha(cls.Alpha);
    return true;
}
