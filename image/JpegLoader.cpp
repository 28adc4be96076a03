// JPEG through libjpeg-turbo's libjpeg, with TurboJPEG's settings (ISLOW
// DCT, fancy upsampling, BGRA, at most 500 scans) and its header check, so
// pixels and decisions are TurboJPEG's, except that an error fails the
// picture even after a warning (TurboJPEG then reports only the warning).
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <turbojpeg.h>

#include "image/PictureLoader.h"

namespace {

// More scans than this are a decompression bomb, not a picture.
constexpr int kMaxScans = 500;

struct TjDeleter {
    void operator()(void* h) const { tjDestroy(h); }
};

// One libjpeg decompressor over a byte buffer. Errors jump back to the setjmp
// of the member that made the call; those members hold nothing with a
// destructor. Messages are kept, never printed.
class Decompressor {
public:
    Decompressor(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {
        m_Info.err = jpeg_std_error(&m_Errors.pub);
        m_Errors.standardEmit = m_Errors.pub.emit_message;
        m_Errors.pub.error_exit = Abort;
        m_Errors.pub.emit_message = EmitMessage;
        m_Errors.pub.output_message = OutputMessage;
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
        m_Info.out_color_space = JCS_EXT_BGRA;
        jpeg_start_decompress(&m_Info);
        return true;
    }

    int Width() const { return int(m_Info.output_width); }
    int Height() const { return int(m_Info.output_height); }
    int Row() const { return int(m_Info.output_scanline); }

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
    // Reads on to the end of the data after the last row.
    bool Finish() {
        if (setjmp(m_Errors.jump)) return false;
        jpeg_finish_decompress(&m_Info);
        return true;
    }

    // After Finish: warnings (stray bytes between markers, damaged entropy
    // data) still give a whole picture; data that ends early does not. The
    // text is that of the first warning, as TurboJPEG reports it.
    bool Accepted() const {
        return !m_Errors.error && !(m_Errors.warned && std::strstr(m_Errors.text, "Premature end"));
    }

private:
    struct Errors {
        jpeg_error_mgr pub;  // first, so the library's pointer is ours
        void (*standardEmit)(j_common_ptr, int) = nullptr;
        std::jmp_buf jump;
        char text[JMSG_LENGTH_MAX] = {};
        bool warned = false, error = false;
    };
    static Errors& Of(j_common_ptr info) { return *reinterpret_cast<Errors*>(info->err); }
    static void Abort(j_common_ptr info) {
        Of(info).error = true;
        std::longjmp(Of(info).jump, 1);
    }
    // The library's own rule decides which messages are shown (the first
    // warning only); shown here means kept as the text.
    static void EmitMessage(j_common_ptr info, int level) {
        if (level < 0) Of(info).warned = true;
        Of(info).standardEmit(info, level);
    }
    static void OutputMessage(j_common_ptr info) { (*info->err->format_message)(info, Of(info).text); }
    static void CountScans(j_common_ptr info) {
        if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) Abort(info);
    }

    const uint8_t* m_Data;
    size_t m_Size;
    jpeg_decompress_struct m_Info{};
    jpeg_progress_mgr m_Progress{};
    Errors m_Errors;
};

}  // namespace

bool DecodeJPEG(const uint8_t* data, size_t size, cImage32& image) {
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
    Decompressor d(data, size);
    const bool ok = d.Start() && d.Width() == image.Width() && d.Height() == image.Height() &&
                    d.ReadRows(image, image.Height()) && d.Finish() && d.Accepted();
    // An error fails the picture even after warnings: rows may be missing.
    if (!ok) image.DestroyDIB();
    return ok;
}
