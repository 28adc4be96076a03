#include "app/frmMainTopBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

namespace {
QPushButton* SmallButton(const char* caption, const char* tooltip, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setToolTip(QString::fromLatin1(tooltip));
    button->setFixedSize(28, 24);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}
}  // namespace

frmMainTopBar::frmMainTopBar(QWidget* parent) : QWidget(parent) {
    setFixedHeight(40);
    lblTitle = new QLabel(this);
    lblTitle->setStyleSheet(QStringLiteral("color: #e8e8e8; font-weight: bold;"));

    chkOnAir = new QPushButton(QStringLiteral("On Air"), this);
    chkOnAir->setCheckable(true);
    chkOnAir->setToolTip(QStringLiteral("Enable/disable On Air mode"));
    chkOnAir->setFont(QFont(QStringLiteral("Verdana")));
    chkOnAir->setFixedSize(84, 28);
    chkOnAir->setFocusPolicy(Qt::NoFocus);

    cmdAbout = SmallButton("i", "About...", this);
    chkConsole = SmallButton("C", "Show/hide Console", this);
    chkConsole->setCheckable(true);
    chkConsole->setChecked(true);  // the console is visible at start
    cmdMin = SmallButton("_", "Minimize", this);
    cmdExit = SmallButton("X", "Close", this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 4, 6, 6);
    row->setSpacing(4);
    row->addWidget(lblTitle);
    row->addStretch(1);
    row->addWidget(chkOnAir);
    row->addSpacing(12);
    for (QPushButton* button : {cmdAbout, chkConsole, cmdMin, cmdExit}) row->addWidget(button);
}

void frmMainTopBar::paintEvent(QPaintEvent*) {
    // The shape and its two lines are drawn from the current width, so they
    // always span the whole bar after a resize.
    QPainter p(this);
    p.fillRect(rect(), QColor(36, 38, 44));
    p.setPen(QPen(QColor(200, 20, 20), 2));
    p.drawLine(0, height() - 4, width(), height() - 4);
    p.setPen(QPen(QColor(90, 90, 96), 1));
    p.drawLine(0, height() - 1, width(), height() - 1);
}
