#pragma once
// The on-air window: frameless, above other windows, covering its whole
// monitor without a cursor, showing exactly the pixels of picStillA.
#include <QWidget>

#include "output/GfxOutput.h"

class frmStillA : public QWidget, public OutputWindow {
    Q_OBJECT
public:
    explicit frmStillA(QWidget* parent = nullptr);

    void Place(int left, int top, int width, int height) override;
    void Show() override;
    void Hide() override;
    void SetTopMost(bool on) override;
    void Present(const PictureSurface& surface) override;
    bool PresentDirect(const std::function<bool(const DeviceContext&)>& draw) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The window lives for the process: a close request of the window
    // manager (Alt+F4, a task bar's Close) is refused.
    void closeEvent(QCloseEvent* event) override;

private:
    void WaitUntilViewable();
    DeviceContext WindowPixels();
    const PictureSurface* m_Surface = nullptr;
    // Set while PresentDirect repaints: paintEvent lends it the window's pixels.
    const std::function<bool(const DeviceContext&)>* m_DirectDraw = nullptr;
    bool m_DirectDrawn = false;
};

// Start-up: creates the output window once and installs it, together with
// the window system's screens as the monitor list, into the output core.
void InstallGfxOutputWindows();
// The installed window, or nullptr before InstallGfxOutputWindows.
frmStillA* OutputWindowWidget();
