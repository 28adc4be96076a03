#include "core/TopMost.h"

#include <QWidget>
#include <QWindow>

void SetTopMost(QWidget* window, bool on) {
    if (!window) return;
    const Qt::WindowFlags flags = window->windowFlags();
    const Qt::WindowFlags wanted = on ? (flags | Qt::WindowStaysOnTopHint) : (flags & ~Qt::WindowStaysOnTopHint);
    if (wanted == flags) return;
    if (QWindow* handle = window->windowHandle()) {
        // QWidget::setWindowFlags would hide and re-create a native window
        // (losing its place and activation); the platform window can change
        // the hint in place, and the widget only needs to know about it.
        window->overrideWindowFlags(wanted);
        handle->setFlags(wanted);
    } else {
        window->setWindowFlags(wanted);
    }
}
