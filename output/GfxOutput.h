#pragma once
// The output's internals that the window and the tests reach: the window
// seam, the two surfaces and the frame image.
#include <functional>
#include <string>

#include "output/Surface.h"

// The on-air window (frmStillA) as the core sees it. The GUI installs it;
// without one the output composes and keeps its pixels but shows nothing.
class OutputWindow : public SurfacePresenter {
public:
    // Top-left corner in virtual-desktop pixels and size in pixels.
    virtual void Place(int left, int top, int width, int height) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual void SetTopMost(bool on) = 0;
    // Lends the pixels the window shows (the surface's as last presented)
    // to `draw` and puts them on screen, skipping the copy from the surface:
    // a fade step then touches each pixel once. False, with nothing drawn,
    // when the window cannot lend them (hidden, scaled, another layout) or
    // `draw` answers false.
    virtual bool PresentDirect(const std::function<bool(const DeviceContext&)>& /*draw*/) { return false; }
};
void SetOutputWindow(OutputWindow* window);

// The visible output surface (picStillA) and the compositing surface
// (picStillB).
PictureSurface& picStillA();
PictureSurface& picStillB();

// The finished frame read back for the transition; null before InitGfxOutput.
cImage32* FrameImage();

// One fade step: `frame` drawn over what the output shows at `opacity` and
// put on screen. When the window lends its pixels the step is drawn there
// alone and picStillA falls behind, until a full draw (opacity 100) brings it
// up to date; the first step of a fade, which the caller marks, always goes
// through picStillA, so that the window shows exactly its pixels.
void DrawFadeStep(cImage32& frame, int32_t opacity, bool firstStep);

// Told of each frame put on air, with the pixels as shown (picStillA's, or
// the window's own during a fade), and before those pixels are drawn over:
// the streams read them in between, on a thread of their own.
struct PresentObserver {
    std::function<void(const DeviceContext& shown)> Presented;
    std::function<void()> Drawing;
};
void SetPresentObserver(PresentObserver observer);

// <CacheDir>/kiv_COMPOSITEIMAGE
std::string CompositeImagePath();

// A key went down on the output window: Ctrl+Q (key code 81, other modifiers
// allowed) queues "-1 QUIT" for the gui session; auto-repeats of a held key
// are not new presses and queue nothing.
void OutputKeyDown(int keyCode, bool ctrlHeld, bool autoRepeat);

// Plain decimal text of `value` with up to `digits` significant digits, a
// point as separator, no exponent and no trailing zeros ("1.77777777777778").
std::string FormatPlainDecimal(double value, int digits = 15);

// Told after each stage of DisplayCachedImage ("load", "blur", "background",
// "reload", "shadow", "shadow-draw", "draw", "file", "show", "readback",
// "transition"), so
// that the stages can be timed. Empty function: none.
using GfxStageHook = std::function<void(const char* stage)>;
void SetGfxStageHook(GfxStageHook hook);
