// JPEG through libjpeg-turbo's libjpeg, with TurboJPEG's settings (ISLOW
// DCT, fancy upsampling, BGRA, at most 500 scans) and its header check, so
// the pixels are TurboJPEG's. The verdict is taken here from every message:
// TurboJPEG reports only the first problem of a stream, so an error after a
// warning (rows never written) or data cut short after damage would pass.
// A large single-scan picture is decoded by two decompressors over the same
// bytes on two cores: one works down from the top while the other
// entropy-decodes its way past the rows above its share (the only way to
// reach a row of a stream without restart markers) and then decodes the rest.
#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <mutex>

#include <jpeglib.h>
#include <jerror.h>
#include <turbojpeg.h>

#include "image/LoadGuard.h"
#include "image/ParallelRows.h"
#include "image/PictureLoader.h"

namespace {

// Below this many pixels a second decompressor and a thread hand-over cost
// more than they save.
constexpr int64_t kTwoDecodersMinPixels = int64_t(1) << 20;
// More scans than this are a decompression bomb, not a picture.
constexpr int kMaxScans = 500;

struct TjDeleter {
    void operator()(void* h) const { tjDestroy(h); }
};

// One libjpeg decompressor over a byte buffer. Errors jump back to the setjmp
// of the member that made the call; those members hold nothing with a
// destructor. Messages are noted, never printed.
class Decompressor {
public:
    Decompressor(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {
        m_Info.err = jpeg_std_error(&m_Errors.pub);
        m_Errors.pub.error_exit = Abort;
        m_Errors.pub.emit_message = NoteWarning;
        m_Progress.progress_monitor = CountScans;
    }
    ~Decompressor() { jpeg_destroy_decompress(&m_Info); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    // Reads the header and starts decoding to BGRA rows.
    bool Start() {
        if (setjmp(m_Errors.jump)) return false;
        jpeg_create_decompress(&m_Info);
        m_Info.progress = &m_Progress;
        jpeg_mem_src(&m_Info, m_Data, static_cast<unsigned long>(m_Size));
        jpeg_read_header(&m_Info, TRUE);
        m_SingleScan = !jpeg_has_multiple_scans(&m_Info);
        m_Info.out_color_space = JCS_EXT_BGRA;
        jpeg_start_decompress(&m_Info);
        return true;
    }

    // Progressive and multi-scan pictures read all their input before the
    // first row: two decoders would only do that twice.
    bool SingleScan() const { return m_SingleScan; }
    int Width() const { return int(m_Info.output_width); }
    int Height() const { return int(m_Info.output_height); }
    int Row() const { return int(m_Info.output_scanline); }
    // Output rows per row of coding units: a cut there splits no unit.
    int UnitRows() const { return m_Info.max_v_samp_factor * m_Info.min_DCT_scaled_size; }

    // Decodes the rows from the current one up to `to` into the image.
    bool ReadRows(cImage32& image, int to) {
        if (setjmp(m_Errors.jump)) return false;
        while (Row() < to) {
            JSAMPROW rows[64];
            const int first = Row(), count = std::min(to - first, 64);
            for (int i = 0; i < count; ++i) rows[i] = image.Row(first + i);
            if (jpeg_read_scanlines(&m_Info, rows, JDIMENSION(count)) == 0) return false;
        }
        return true;
    }
    bool Skip(int rows) {
        if (setjmp(m_Errors.jump)) return false;
        return jpeg_skip_scanlines(&m_Info, JDIMENSION(rows)) == JDIMENSION(rows);
    }
    // Reads on to the end of the data after the last row.
    bool Finish() {
        if (setjmp(m_Errors.jump)) return false;
        jpeg_finish_decompress(&m_Info);
        return true;
    }

    // After Finish: warnings (stray bytes between markers, damaged entropy
    // data) still give a whole picture; data that ends early does not.
    bool Accepted() const { return !m_Errors.error && !m_Errors.endedEarly; }

private:
    struct Errors {
        jpeg_error_mgr pub;  // first, so the library's pointer is ours
        std::jmp_buf jump;
        bool error = false, endedEarly = false;
    };
    static Errors& Of(j_common_ptr info) { return *reinterpret_cast<Errors*>(info->err); }
    static void Abort(j_common_ptr info) {
        Of(info).error = true;
        std::longjmp(Of(info).jump, 1);
    }
    static void NoteWarning(j_common_ptr info, int level) {
        if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) Of(info).endedEarly = true;
    }
    static void CountScans(j_common_ptr info) {
        if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) Abort(info);
    }

    const uint8_t* m_Data;
    size_t m_Size;
    jpeg_decompress_struct m_Info{};
    jpeg_progress_mgr m_Progress{};
    Errors m_Errors;
    bool m_SingleScan = false;
};

// The rows of one picture shared by two decoders. The top one takes rows a
// unit at a time from row 0 while `next` is below `limit`; the bottom one
// sets `limit` once, to the row where it starts decoding, and only while the
// top one has not passed it. The one that decodes the last row reads on to
// the end of the data and gives the verdict on the whole stream; an error
// on either side fails the picture and stops the other.
struct Split {
    const uint8_t* data;
    size_t size;
    cImage32& image;
    int height, unitRows;
    int fixedCut;  // -1: the bottom decoder picks the row
    std::mutex mutex;
    int next = 0, limit;
    bool failed = false, accepted = false;
    std::atomic<int> arrivals{0};

    Split(const uint8_t* d, size_t n, cImage32& img, int h, int unit, int cut)
        : data(d), size(n), image(img), height(h), unitRows(unit), fixedCut(cut), limit(h) {}

    int RoundUpToUnit(int row) const { return std::min(height, (row + unitRows - 1) / unitRows * unitRows); }
    void Fail() {
        std::lock_guard lock(mutex);
        failed = true;
    }
    void Verdict(const Decompressor& d) {
        std::lock_guard lock(mutex);
        accepted = d.Accepted();
    }
};

void DecodeTop(Decompressor& top, Split& s) {
    for (;;) {
        int to = 0;
        {
            std::lock_guard lock(s.mutex);
            if (s.failed || s.next >= s.limit) break;
            to = s.next = std::min(s.next + s.unitRows, s.height);
        }
        if (!top.ReadRows(s.image, to)) return s.Fail();
    }
    if (top.Row() < s.height) return;
    if (!top.Finish()) return s.Fail();
    s.Verdict(top);
}

// Skips towards the row where both decoders have the same work left: half
// way between the top decoder's progress and the bottom. Skipping is faster
// than decoding, so that row moves down as the top decoder goes on; the
// skip goes in steps so that it can follow, and gives up when the top
// decoder is about to finish alone (on a busy machine this one may start
// late).
void DecodeBottom(Split& s) {
    {
        std::lock_guard lock(s.mutex);
        if (s.failed || s.next >= s.height) return;
    }
    Decompressor bottom(s.data, s.size);
    if (!bottom.Start()) return s.Fail();
    const int step = s.RoundUpToUnit(std::max(s.height / 8, 1));
    int at = 0;
    for (;;) {
        int target = 0;
        {
            std::lock_guard lock(s.mutex);
            if (s.failed) return;
            target = s.fixedCut >= 0 ? s.limit : s.RoundUpToUnit((s.height + s.next) / 2);
            if (target >= s.height) return;
            if (at >= target) {
                s.limit = at;
                break;
            }
        }
        if (!bottom.Skip(std::min(target - at, step))) return s.Fail();
        at = bottom.Row();
    }
    if (!bottom.ReadRows(s.image, s.height) || !bottom.Finish()) return s.Fail();
    s.Verdict(bottom);
}

// `top` has started. cut: as for Decode.
bool DecodeWithTwoDecoders(Decompressor& top, const uint8_t* data, size_t size, cImage32& image, int cut) {
    Split s(data, size, image, top.Height(), top.UnitRows(), cut);
    if (cut >= 0) {
        s.limit = std::min(cut, s.height) / s.unitRows * s.unitRows;
        DecodeTop(top, s);
        DecodeBottom(s);
    } else {
        // Whichever part starts first decodes from the top, so a helper that
        // gets no core costs nothing but its own late start.
        ParallelRows(2, double(image.scanWidth()) * image.Height() / 2, [&](int from, int to) {
            for (int i = from; i < to; ++i) {
                if (s.arrivals++ == 0)
                    DecodeTop(top, s);
                else
                    DecodeBottom(s);
            }
        });
    }
    return !s.failed && s.accepted;
}

// cut: -1 lets two decoders share a large single-scan picture on two cores;
// otherwise they take any single-scan picture, cut there, one after the
// other. `split` tells whether they did.
bool DecodeUnguarded(const uint8_t* data, size_t size, cImage32& image, int cut, bool& split) {
    split = false;
    image.DestroyDIB();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    // TurboJPEG's header check refuses the samplings and colour models it has
    // no name for.
    {
        std::unique_ptr<void, TjDeleter> tj(tjInitDecompress());
        int width = 0, height = 0, subsamp = 0, colorspace = 0;
        if (!tj || tjDecompressHeader3(tj.get(), data, static_cast<unsigned long>(size), &width, &height, &subsamp,
                                       &colorspace) != 0)
            return false;
        if (width < 1 || height < 1 || int64_t(width) * height > kMaxImagePixels) return false;
        if (!image.InitializeDIBUncleared(width, height)) return false;
    }
    Decompressor top(data, size);
    bool ok = top.Start() && top.Width() == image.Width() && top.Height() == image.Height();
    if (ok) {
        split = top.SingleScan() && (cut >= 0 || int64_t(image.Width()) * image.Height() >= kTwoDecodersMinPixels);
        ok = split ? DecodeWithTwoDecoders(top, data, size, image, cut)
                   : top.ReadRows(image, image.Height()) && top.Finish() && top.Accepted();
    }
    // An error fails the picture even after warnings: rows may be missing.
    if (!ok) image.DestroyDIB();
    return ok;
}

bool Decode(const uint8_t* data, size_t size, cImage32& image, int cut, bool& split) {
    return GuardLoad(image, false, [&] { return DecodeUnguarded(data, size, image, cut, split); });
}

}  // namespace

bool DecodeJPEG(const uint8_t* data, size_t size, cImage32& image) {
    bool split = false;
    return Decode(data, size, image, -1, split);
}

std::optional<bool> DecodeJPEGCutAt(const uint8_t* data, size_t size, cImage32& image, int cutRow) {
    bool split = false;
    const bool ok = Decode(data, size, image, std::max(cutRow, 0), split);
    return split ? std::optional<bool>(ok) : std::nullopt;
}
