#include "output/modTL.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "image/PixelKernels.h"
#include "image/Resample.h"
#include "image/cRectShadow.h"
#include "output/CompositeFrame.h"
#include "output/Geometry.h"
#include "output/GfxOutput.h"
#include "output/Monitors.h"
#include "output/Transition.h"

namespace {

OutputQueueLink gQueueLink;

// Realtime mode: the queue's timer is stopped while a picture renders.
void HaltQueue(bool halt) {
    if (gQueueLink.SetQueueTimerEnabled) gQueueLink.SetQueueTimerEnabled(!halt);
}

struct GfxState {
    PictureSurface picStillA;
    PictureSurface picStillB;
    // Created by InitGfxOutput; they live for the rest of the process.
    // WorkImage holds a picture only while it is composed.
    std::unique_ptr<cImage32> WorkImage;
    std::unique_ptr<cImage32> FrameImage;
    OutputWindow* frmStillA = nullptr;
    GfxStageHook stageHook;
    PresentObserver presentObserver;
};

GfxState& Gfx() {
    static GfxState state;
    return state;
}

bool IsExistingFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

// The debug lines of compositing and transitions follow the current
// VerboseConsole alone: #VERBOSE turns them off even after /DEBUG.
bool DebugLines() { return Settings.VerboseConsole > 1; }

void StageDone(const char* stage) {
    if (Gfx().stageHook) Gfx().stageHook(stage);
}

void Presented(const DeviceContext& shown) {
    if (Gfx().presentObserver.Presented) Gfx().presentObserver.Presented(shown);
}

void Drawing() {
    if (Gfx().presentObserver.Drawing) Gfx().presentObserver.Drawing();
}

// Any failure inside DisplayCachedImage ends it the same way.
struct RenderError {};

void Check(bool ok) {
    if (!ok) throw RenderError{};
}

struct PixelRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool Empty() const { return Right <= Left || Bottom <= Top; }
    PixelRect Intersect(const PixelRect& o) const {
        return {std::max(Left, o.Left), std::max(Top, o.Top), std::min(Right, o.Right), std::min(Bottom, o.Bottom)};
    }
};

// Where Render puts a draw of w x h centred on (cx, cy).
PixelRect CentredRect(int cx, int cy, int w, int h) {
    const int left = cx - std::abs(w) / 2, top = cy - std::abs(h) / 2;
    return {left, top, left + std::abs(w), top + std::abs(h)};
}

// The parts of the surface outside `hole`: above, below, left and right of it.
std::vector<PixelRect> AroundHole(const PictureSurface& s, PixelRect hole) {
    const PixelRect all{0, 0, s.Width(), s.Height()};
    hole = hole.Intersect(all);
    if (hole.Empty()) return {all};
    return {{0, 0, all.Right, hole.Top},
            {0, hole.Bottom, all.Right, all.Bottom},
            {0, hole.Top, hole.Left, hole.Bottom},
            {hole.Right, hole.Top, all.Right, hole.Bottom}};
}

// Draws `img` centred on (cx, cy) at w x h, but only outside `hole`, which
// the opaque picture drawn next covers anyway: at 4K the blurred fill and
// the shadow would otherwise be resampled mostly to be painted over. Each
// part is a draw clipped to a window of the surface with the same
// destination rectangle, so its pixels are those of the full draw (the
// resampler may round one a level differently in a very narrow part).
// `draw(dc, x, y)` draws centred on (x, y) into the context of one part.
template <typename Draw>
void RenderCentredAround(PictureSurface& s, int cx, int cy, int w, int h, const PixelRect& hole, const Draw& draw) {
    const DeviceContext all = s.DC();
    for (const PixelRect& part : AroundHole(s, hole)) {
        if (part.Intersect(CentredRect(cx, cy, w, h)).Empty()) continue;
        const DeviceContext dc = DeviceContext::TopDown(all.Row(part.Top) + ptrdiff_t(part.Left) * 4,
                                                        part.Right - part.Left, part.Bottom - part.Top, all.Stride);
        Check(draw(dc, cx - part.Left, cy - part.Top));
    }
}

int32_t Rounded(double value) {
    const auto r = RoundHalfEven(value);
    Check(r.has_value());
    return *r;
}

void ShowOutputWindow() {
    if (auto* w = Gfx().frmStillA) {
        w->Show();
        w->SetTopMost(true);
    }
}

// Every picture allocates and frees frame-sized buffers (33 MB at 4K):
// decoded pictures, the shadow, the composite file's bytes. By default glibc
// maps each such buffer afresh and unmaps it on release, and faulting in the
// new pages costs more than the drawing itself. Keeping them in the heap lets
// the next picture reuse the same memory.
void KeepFrameBuffersInHeap() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

// What a picture frees is kept for the next one, but not what an outsized
// picture needed once: a 2^28-pixel picture leaves a gigabyte of free heap
// behind, which would stay resident for the rest of the run. Ordinary
// pictures leave well under this much free.
constexpr size_t kKeptFreeHeapBytes = size_t(64) << 20;

void ReturnPeakMemory() {
#ifdef __GLIBC__
    if (mallinfo2().fordblks > kKeptFreeHeapBytes) malloc_trim(kKeptFreeHeapBytes / 2);
#endif
}

bool PlaceOutput(int32_t slot) {
    const auto info = GetMonitorInfoOfSlot(slot);
    MonitorInfo rect;
    if (info) {
        rect = *info;
    } else {
        LogApiError("GetMonitorInfo");
    }
    const int64_t w = int64_t(rect.Right) - rect.Left, h = int64_t(rect.Bottom) - rect.Top;
    if (w < 0 || h < 0 || w > INT32_MAX || h > INT32_MAX) return false;
    auto& g = Gfx();
    g.picStillA.SetSize(int(w), int(h));
    g.picStillB.SetSize(int(w), int(h));
    if (g.frmStillA) g.frmStillA->Place(rect.Left, rect.Top, int(w), int(h));
    return true;
}

// Draws `frame` over the whole visible surface at `opacity` and shows it.
void DrawFrameOnAir(cImage32& frame, int32_t opacity) {
    Drawing();
    auto& a = Gfx().picStillA;
    const DeviceContext dc = a.DC();
    Check(frame.Render(&dc, 0, 0, a.Width(), a.Height(), 0, 0, 0, 0, opacity, true, true));
    a.Repaint();
    Presented(dc);
}

// Brings the composite file on air: a sinusoidal fade of 4 x TransDur steps
// for "Fade" (exactly that text), a cut otherwise.
void RunTransition(const std::string& transMode) {
    auto& g = Gfx();
    cImage32& frame = *g.FrameImage;
    // The composite file's pixels, taken from the surface that was just
    // written to it rather than read back from the disk.
    Check(CopyCompositeFrame(g.picStillB, frame));
    frame.HighQualityInterpolation(false);
    StageDone("readback");

    if (transMode == "Fade") {
        if (VerboseOn())
            WriteLog("Performing transition with TransMode=Fade and TransDur=" + std::to_string(Settings.TransDur),
                     "GFX", "V");
        if (DebugLines()) WriteLog("Calculating sinusoidal transition curve with premultiplied pRGBA pixels...", "GFX", "D");
        const int64_t steps = int64_t(Settings.TransDur) * 4;
        Check(steps <= INT32_MAX);
        for (int32_t i = 1; i <= steps; ++i) {
            // Each step blends over the previous one, so the old picture's
            // share compounds down to 0 well before the last step.
            DrawFadeStep(frame, FadeStepOpacity(i, int32_t(steps)), i == 1);
            const auto pauseMs = FadePauseMs(Settings.DisplayFrameRate);
            Check(pauseMs.has_value());
            // A plain sleep: no socket, timer or window event may run in the
            // middle of a fade (an accept would stutter it, a dialog stall it).
            std::this_thread::sleep_for(std::chrono::milliseconds(*pauseMs));
        }
    }
    DrawFrameOnAir(frame, 100);
    StageDone("transition");
}

void Compose(const std::string& imagePath) {
    auto& g = Gfx();
    Check(g.WorkImage && g.FrameImage);
    cImage32& work = *g.WorkImage;
    PictureSurface& b = g.picStillB;
    // The picture is let go however composing ends: the largest takes 1 GiB.
    const struct Release {
        cImage32& image;
        ~Release() { image.DestroyDIB(); }
    } release{work};

    if (VerboseOn())
        WriteLog("Compositing output image in framebuffer using high-quality bicubic interpolation", "GFX", "V");
    const bool noShadow = Settings.ShadowOpacity == 0;
    work.HighQualityInterpolation(true);

    // A new frame starts from the plain background. The background is
    // filled once the picture's place is known (nothing is drawn on the
    // surface before that), and not at all where the picture covers it.
    // The persistent picture is then the plain background too, which is
    // what clearing without one gives.
    const bool freshFrame = Settings.AlphaAddTop == 0;
    if (freshFrame) {
        b.RemovePersistentPicture();
        b.SetBackColor(Settings.BackgroundColor);
    } else {
        b.MakePersistent();
    }
    work.DestroyDIB();

    Check(work.LoadPicture_File(imagePath, 32, 32, false, 32));
    StageDone("load");
    // The aspect is logged even when the fitting then fails (a strip too
    // long to fit 32 bits); a picture without pixels has none.
    const int outW = b.Width(), outH = b.Height();
    Check(work.Width() > 0 && work.Height() > 0);
    if (DebugLines()) WriteLog("ImageAspect=" + FormatPlainDecimal(double(work.Width()) / work.Height()), "GFX", "D");
    const auto geometry = ComputeFrameGeometry(outW, outH, work.Width(), work.Height(), Settings.IgnoreAspect != 0);
    Check(geometry.has_value());
    const FrameGeometry& f = *geometry;
    if (DebugLines()) {
        WriteLog("RenderWidth=" + std::to_string(f.FitWidth), "GFX", "D");
        WriteLog("RenderHeight=" + std::to_string(f.FitHeight), "GFX", "D");
    }

    const int centreX = Rounded(outW / 2.0), centreY = Rounded(outH / 2.0);
    // What the picture covers when it is drawn opaque: its whole rectangle
    // (the resampler keeps an opaque picture opaque up to its edges).
    PixelRect covered;
    if (freshFrame && f.RenderWidth > 0 && f.RenderHeight > 0)
        covered = CentredRect(centreX, centreY, f.RenderWidth, f.RenderHeight);
    const bool coversAll = !covered.Empty() && covered.Left <= 0 && covered.Top <= 0 && covered.Right >= outW &&
                           covered.Bottom >= outH;
    if (freshFrame && !coversAll) b.Clear();

    if (f.NeedsBackground && Settings.UseBlurredBackground != 0) {
        if (DebugLines()) {
            WriteLog("BlurRenderWidth=" + std::to_string(f.BlurRenderWidth), "GFX", "D");
            WriteLog("BlurRenderHeight=" + std::to_string(f.BlurRenderHeight), "GFX", "D");
        }
        // Shrinking to 1/22 and drawing the small copy large is the blur.
        // The copy is made beside the picture, which is needed again as it is.
        cImage32 blur;
        Check(ResizeInto(work, blur, Rounded(f.RenderWidth / 22.0), Rounded(f.RenderHeight / 22.0)));
        blur.MakeLighterDarker(float(Settings.BlurredBackgroundLightness));
        blur.BlendToColor(Settings.BlurredBackgroundColor, Settings.BlurredBackgroundOpacity);
        RenderCentredAround(b, centreX, centreY, f.BlurRenderWidth, f.BlurRenderHeight, covered,
                            [&](const DeviceContext& dc, int x, int y) {
                                return blur.Render(&dc, x, y, f.BlurRenderWidth, f.BlurRenderHeight, 0, 0, 0, 0, 100,
                                                   true, true, nullptr, -1, 0.0f, 0.0f, true);
                            });
        StageDone("blur");
    } else if (f.NeedsBackground) {
        b.SetBackColor(Settings.BackgroundColor);
        b.Clear();
        b.Repaint();
        if (IsExistingFile(Settings.BackgroundImage)) {
            cImage32 background;
            background.HighQualityInterpolation(true);
            Check(background.LoadPicture_File(Settings.BackgroundImage, 32, 32, false, 32));
            int fitW = 0, fitH = 0;
            background.ScaleImage(outW, outH, fitW, fitH, 0);
            const DeviceContext dc = b.DC();
            Check(background.Render(&dc, f.OffsetX, f.OffsetY, fitW, fitH, 0, 0, 0, 0, 100, true, true));
        }
        StageDone("background");
    }

    // The shadow is that of the whole rectangle made opaque, whatever the
    // picture's own transparency: it depends on the size alone. With
    // AlphaAddTop the picture keeps its transparency; without, it is drawn
    // opaque (most pictures are already).
    if (freshFrame && !AllOpaque(work.BitsPointer(), size_t(work.Width()) * size_t(work.Height())))
        work.RemoveAlpha();
    else if (freshFrame)
        work.Alpha(2);
    StageDone("reload");
    // A shadow entirely under the picture is not made at all.
    const PixelRect shadowRect = CentredRect(centreX, centreY, f.ShadowWidth, f.ShadowHeight);
    bool shadowShows = false;
    for (const PixelRect& part : AroundHole(b, covered)) shadowShows |= !part.Intersect(shadowRect).Empty();
    if (!noShadow && shadowShows) {
        cRectShadow shadow;
        Check(shadow.Create(work.Width(), work.Height(), 10, Settings.ShadowColor));
        StageDone("shadow");
        RenderCentredAround(b, centreX, centreY, f.ShadowWidth, f.ShadowHeight, covered,
                            [&](const DeviceContext& dc, int x, int y) {
                                return shadow.Render(dc, x, y, f.ShadowWidth, f.ShadowHeight, Settings.ShadowOpacity,
                                                     true);
                            });
        b.Repaint();
        StageDone("shadow-draw");
    }
    const DeviceContext dc = b.DC();
    Check(work.Render(&dc, centreX, centreY, f.RenderWidth, f.RenderHeight, 0, 0, 0, 0, 100, true, true, nullptr,
                      -1, 0.0f, 0.0f, true));
    b.Repaint();
    StageDone("draw");

    // The finished drawing is the frame. It becomes the persistent picture
    // only when the next frame is drawn over it (AlphaAddTop); a fresh
    // frame never looks at the last one.
    Check(SaveCompositeFile(CompositeImagePath(), b));
    StageDone("file");
}

}  // namespace

void SetOutputWindow(OutputWindow* window) {
    auto& g = Gfx();
    g.frmStillA = window;
    g.picStillA.SetPresenter(window);
}

void SetGfxStageHook(GfxStageHook hook) { Gfx().stageHook = std::move(hook); }
void SetPresentObserver(PresentObserver observer) { Gfx().presentObserver = std::move(observer); }

PictureSurface& picStillA() { return Gfx().picStillA; }
PictureSurface& picStillB() { return Gfx().picStillB; }
cImage32* FrameImage() { return Gfx().FrameImage.get(); }

void DrawFadeStep(cImage32& frame, int32_t opacity, bool firstStep) {
    Drawing();
    auto& g = Gfx();
    PictureSurface& a = g.picStillA;
    // At 2160p the step is bound by memory traffic: blending into the
    // surface and then copying it into the window moves every pixel twice.
    // The window's pixels equal the surface's after the first step, and
    // the fade's final full draw brings the surface up to date again.
    if (!firstStep && g.frmStillA &&
        g.frmStillA->PresentDirect([&](const DeviceContext& dc) {
            if (dc.Width != a.Width() || dc.Height != a.Height() ||
                !frame.Render(&dc, 0, 0, a.Width(), a.Height(), 0, 0, 0, 0, opacity, true, true))
                return false;
            Presented(dc);
            return true;
        }))
        return;
    DrawFrameOnAir(frame, opacity);
}

std::string CompositeImagePath() { return Settings.CacheDir + "/kiv_COMPOSITEIMAGE"; }

void InitGfxOutput() {
    WriteLog("Examining Windows monitor configuration...", "GFX");
    try {
        const int32_t count = EnumMonitors();
        if (count == 1 && Settings.OnAirMonitor > 1) {
            WriteLog("Failed to initialize GFX output on monitor " + std::to_string(Settings.OnAirMonitor) +
                         ", probably because the number of monitors currently is " + std::to_string(count) +
                         ". Please set the 'OnAirMonitor' value in " + ProgramName() +
                         ".ini to a value equal to or greater than " + std::to_string(count) +
                         ". Aborting operation now.",
                     "GFX", "F");
            StopOperation();
            return;
        }
        bool infoFailed = false;
        if (Settings.OnAirMonitor == 0) {
            if (count == 1) {
                OutputOnPrimary = true;
                WriteLog("OnAirMonitor is set to 0, which means 'Select monitor automatically'. As there is only 1 "
                         "monitor, monitor 1 will be used for graphics output even though it is the primary "
                         "monitor.",
                         "GFX", "I");
                Settings.OnAirMonitor = 1;
            } else {
                for (int32_t slot = 1; slot <= count; ++slot) {
                    const auto info = GetMonitorInfoOfSlot(slot);
                    if (!info) {
                        infoFailed = true;
                        break;
                    }
                    if (!info->Primary) {
                        Settings.OnAirMonitor = slot;
                        break;
                    }
                }
            }
        }
        if (!infoFailed && Settings.OnAirMonitor == -1) {
            OutputOnPrimary = true;
            for (int32_t slot = 1; slot <= count; ++slot) {
                const auto info = GetMonitorInfoOfSlot(slot);
                if (!info) {
                    infoFailed = true;
                    break;
                }
                if (info->Primary) {
                    Settings.OnAirMonitor = slot;
                    break;
                }
            }
        }
        if (infoFailed) {
            LogApiError("GetMonitorInfo");
            WriteLog("Fatal Error: Could not determinine monitor constellation.", "GFX", "F");
            StopOperation();
            return;
        }

        WriteLog("Initializing GFX output on monitor " + std::to_string(Settings.OnAirMonitor) + "...", "GFX");
        // A slot outside the monitors found (more than exist, or a choice
        // that found nothing) cannot be placed.
        if (Settings.OnAirMonitor < 1 || Settings.OnAirMonitor > count) throw RenderError{};

        KeepFrameBuffersInHeap();
        auto& g = Gfx();
        for (auto* image : {&g.WorkImage, &g.FrameImage}) {
            *image = std::make_unique<cImage32>();
            (*image)->HighQualityInterpolation(true);
        }
        g.picStillA.SetBackColor(Settings.StartupColor);
        g.picStillB.SetBackColor(Settings.StartupColor);
        if (!PlaceOutput(Settings.OnAirMonitor)) throw RenderError{};

        GfxInitialized = true;
        ShowOutputWindow();
        GfxOutputEnabled = true;
    } catch (...) {
        WriteLog("Failed to initialize GFX output on monitor " + std::to_string(Settings.OnAirMonitor) +
                     " because of an unknown error.",
                 "GFX", "F");
        StopOperation();
    }
}

int DisplayCachedImage(const std::string& imagePath, const std::string& transMode) {
    const auto started = std::chrono::steady_clock::now();
    WriteLog("About to render an image (possibly with a transition), halting CommandQueueManager and switching to "
             "realtime mode...",
             "QUE", "I");
    HaltQueue(true);
    bool ok = true;
    try {
        Compose(imagePath);
        if (!GfxOutputEnabled) {
            ShowOutputWindow();
            WriteLog("Enabling GFX output...", "GFX");
            GfxOutputEnabled = true;
            StageDone("show");
        }
        RunTransition(transMode);
    } catch (...) {
        // RenderError, or an allocation that failed on the way.
        WriteLog("Error in DisplayCachedImage while rendering an image.", "GFX", "E");
        // A fade cut short may have handed the window's own pixels to the
        // streams: their copy must be done before the window can change.
        Drawing();
        ok = false;
    }
    ReturnPeakMemory();
    CountRender(ok, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (ok) WriteLog("Realtime operations completed. Resuming CommandQueueManager...", "QUE", "I");
    HaltQueue(false);
    return ok ? 0 : 1;
}

void ClearGfxOutput() {
    Drawing();
    auto& g = Gfx();
    PictureSurface& a = g.picStillA;
    a.RemovePersistentPicture();
    NoteOutputCleared();
    a.SetBackColor(Settings.CleanupColor);
    a.Clear();
    if (g.FrameImage && IsExistingFile(Settings.CleanupImage)) {
        cImage32& frame = *g.FrameImage;
        frame.HighQualityInterpolation(true);
        if (frame.LoadPicture_File(Settings.CleanupImage, 32, 32, false, 32)) {
            int fitW = 0, fitH = 0;
            frame.ScaleImage(a.Width(), a.Height(), fitW, fitH, 0);
            const DeviceContext dc = a.DC();
            const auto cx = RoundHalfEven(a.Width() / 2.0), cy = RoundHalfEven(a.Height() / 2.0);
            if (cx && cy)
                frame.Render(&dc, *cx, *cy, fitW, fitH, 0, 0, 0, 0, 100, true, true, nullptr, -1, 0.0f, 0.0f, true);
        }
    }
    a.Repaint();
    Presented(a.DC());
}

void ShowGfxOutput() {
    if (GfxInitialized && Gfx().frmStillA) Gfx().frmStillA->Show();
}

void HideGfxOutput() {
    if (GfxInitialized && Gfx().frmStillA) Gfx().frmStillA->Hide();
}

void SetGfxOutputTopMost(bool on) {
    if (GfxInitialized && Gfx().frmStillA) Gfx().frmStillA->SetTopMost(on);
}

void SetOutputQueueLink(OutputQueueLink link) { gQueueLink = std::move(link); }

void OutputKeyDown(int keyCode, bool ctrlHeld, bool autoRepeat) {
    if (keyCode != 81 || !ctrlHeld || autoRepeat) return;
    if (gQueueLink.QueueQuit) gQueueLink.QueueQuit();
}

std::string FormatPlainDecimal(double value, int digits) {
    if (!std::isfinite(value)) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, value);
    // buf: [-]d.ddd...e[+-]xx
    std::string text(buf);
    const bool negative = text[0] == '-';
    if (negative) text.erase(0, 1);
    const size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    std::string mantissa;
    for (size_t i = 0; i < e; ++i)
        if (text[i] != '.') mantissa += text[i];
    while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();
    if (mantissa == "0") return "0";
    std::string out;
    if (exponent < 0) {
        out = "0." + std::string(size_t(-exponent - 1), '0') + mantissa;
    } else if (size_t(exponent) + 1 >= mantissa.size()) {
        out = mantissa + std::string(size_t(exponent) + 1 - mantissa.size(), '0');
    } else {
        out = mantissa.substr(0, size_t(exponent) + 1) + "." + mantissa.substr(size_t(exponent) + 1);
    }
    return negative ? "-" + out : out;
}
