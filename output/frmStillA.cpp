#include "output/frmStillA.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <QBackingStore>
#include <QDeadlineTimer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <xcb/xcb.h>

#include "core/TopMost.h"
#include "core/Version.h"
#include "output/Monitors.h"

namespace {

// The screens as monitors: handles are the QScreen pointers, checked against
// the current list before use, so a screen that went away reads as unknown.
class QtMonitorProvider : public MonitorProvider {
public:
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override {
        std::vector<MonitorHandle> handles;
        for (QScreen* screen : QGuiApplication::screens()) handles.push_back(reinterpret_cast<MonitorHandle>(screen));
        return handles;
    }

    std::optional<MonitorInfo> QueryMonitor(MonitorHandle monitor) override {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (reinterpret_cast<MonitorHandle>(screen) != monitor) continue;
            // Device pixels: the output is drawn one surface pixel per screen pixel.
            const QRect r = screen->geometry();
            const qreal dpr = screen->devicePixelRatio();
            MonitorInfo info;
            info.Left = qRound(r.left() * dpr);
            info.Top = qRound(r.top() * dpr);
            info.Right = info.Left + qRound(r.width() * dpr);
            info.Bottom = info.Top + qRound(r.height() * dpr);
            info.Primary = screen == QGuiApplication::primaryScreen();
            return info;
        }
        return std::nullopt;
    }
};

std::unique_ptr<frmStillA> gWindow;

// Qt's own connection to the X server; nullptr on another platform.
xcb_connection_t* X11Connection() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// The pixels are on the X server when this returns: one round trip on Qt's
// own connection (the server handles requests in order). Unlike
// QGuiApplication::sync() it dispatches no events, so no socket or timer
// event can run in the middle of a fade. Nothing to wait for elsewhere.
void SyncWithDisplayServer() {
    if (xcb_connection_t* connection = X11Connection())
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

// Whether the X server shows the window: it and all its ancestors mapped,
// which a window manager does when it sees fit. Asked on Qt's connection:
// the reply comes back here, while events stay with Qt.
bool IsViewable(xcb_connection_t* connection, xcb_window_t window) {
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
    const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(attributes);
    return viewable;
}

}  // namespace

frmStillA::frmStillA(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setWindowTitle(QString::fromLatin1(Version::ProductName) + QStringLiteral(" Output"));
    setCursor(Qt::BlankCursor);
    // Every pixel comes from the surface: no background fill before painting.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
    m_Surface = &picStillA();
}

void frmStillA::Place(int left, int top, int width, int height) {
    const QPoint pixelTopLeft(left, top);
    qreal dpr = 1.0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect r = screen->geometry();
        const qreal d = screen->devicePixelRatio();
        if (QRect(r.topLeft() * d, r.size() * d).contains(pixelTopLeft)) dpr = d;
    }
    setGeometry(qRound(left / dpr), qRound(top / dpr), qRound(width / dpr), qRound(height / dpr));
}

void frmStillA::Show() {
    show();
    WaitUntilViewable();
    Present(*m_Surface);
}

void frmStillA::Hide() { hide(); }

void frmStillA::SetTopMost(bool on) { ::SetTopMost(this, on); }

void frmStillA::WaitUntilViewable() {
    // A repaint does nothing before the window is mapped, and the first
    // frame must not be lost to that. Realtime mode runs no event at all
    // (the platform's event loop runs sockets, posted events and so the
    // signal handler whatever flags it is given), so Qt cannot hear of the
    // mapping here: the X server is asked until it shows the window, bounded
    // in case a window manager never maps it, and the widget is then taken
    // as mapped. Qt's own expose handling follows once the event loop runs
    // again. Other platforms (offscreen) have the window at once.
    if (xcb_connection_t* connection = X11Connection()) {
        const auto window = xcb_window_t(winId());
        for (QDeadlineTimer deadline(2000); !IsViewable(connection, window) && !deadline.hasExpired();)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    setAttribute(Qt::WA_Mapped);
}

void frmStillA::Present(const PictureSurface& surface) {
    m_Surface = &surface;
    if (!isVisible()) return;
    repaint();
    SyncWithDisplayServer();
}

bool frmStillA::PresentDirect(const std::function<bool(const DeviceContext&)>& draw) {
    if (!isVisible()) return false;
    m_DirectDraw = &draw;
    m_DirectDrawn = false;
    repaint();
    m_DirectDraw = nullptr;
    if (m_DirectDrawn) SyncWithDisplayServer();
    return m_DirectDrawn;
}

// The window's own pixels while it paints: the raster backing store's image,
// when it holds exactly this window at one image pixel per surface pixel in
// the surface's memory layout (B, G, R, A).
DeviceContext frmStillA::WindowPixels() {
    QBackingStore* store = backingStore();
    QPaintDevice* device = store ? store->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image || !m_Surface) return {};
    auto* image = static_cast<QImage*>(device);
    const bool layout = image->format() == QImage::Format_RGB32 ||
                        image->format() == QImage::Format_ARGB32_Premultiplied;
    if (!layout || image->devicePixelRatio() != 1.0 || image->width() != m_Surface->Width() ||
        image->height() != m_Surface->Height() || image->size() != size())
        return {};
    return DeviceContext::TopDown(image->bits(), image->width(), image->height(), image->bytesPerLine());
}

void frmStillA::paintEvent(QPaintEvent* event) {
    if (m_DirectDraw && event->rect() == rect()) {
        if (const DeviceContext dc = WindowPixels(); dc && (*m_DirectDraw)(dc)) {
            m_DirectDrawn = true;
            return;
        }
    }
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    if (!m_Surface || m_Surface->Width() == 0 || m_Surface->Height() == 0) {
        painter.fillRect(event->rect(), Qt::black);
        return;
    }
    QImage image(m_Surface->Bits(), m_Surface->Width(), m_Surface->Height(), m_Surface->Stride(),
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(devicePixelRatioF());
    const QRect r = event->rect();
    const qreal dpr = devicePixelRatioF();
    painter.drawImage(r.topLeft(), image,
                      QRectF(r.left() * dpr, r.top() * dpr, r.width() * dpr, r.height() * dpr));
}

void frmStillA::keyPressEvent(QKeyEvent* event) {
    OutputKeyDown(event->key(), (event->modifiers() & Qt::ControlModifier) != 0, event->isAutoRepeat());
}

void frmStillA::closeEvent(QCloseEvent* event) { event->ignore(); }

void InstallGfxOutputWindows() {
    if (gWindow) return;
    gWindow = std::make_unique<frmStillA>();
    SetOutputWindow(gWindow.get());
    SetMonitorProvider(std::make_shared<QtMonitorProvider>());
    // The window lives for the process, but must go before the application
    // object does.
    qAddPostRoutine([] {
        SetOutputWindow(nullptr);
        SetMonitorProvider(nullptr);
        gWindow.reset();
    });
}

frmStillA* OutputWindowWidget() { return gWindow.get(); }
