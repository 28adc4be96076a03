#include "app/OnAirIndicator.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

OnAirIndicator::OnAirIndicator(bool lit, QWidget* parent) : QWidget(parent), lit_(lit) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
}

void OnAirIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(2, 2, -2, -2);
    const qreal radius = frame.height() * 0.22;

    // Housing of the lamp: the same in both states, so only the light changes.
    p.setPen(QPen(QColor(20, 20, 20), 3));
    p.setBrush(QColor(45, 45, 48));
    p.drawRoundedRect(frame, radius, radius);

    const QRectF glass = frame.adjusted(7, 7, -7, -7);
    QRadialGradient light(glass.center(), glass.width() * 0.6);
    if (lit_) {
        light.setColorAt(0.0, QColor(255, 80, 70));
        light.setColorAt(0.7, QColor(225, 0, 0));
        light.setColorAt(1.0, QColor(150, 0, 0));
    } else {
        light.setColorAt(0.0, QColor(95, 95, 100));
        light.setColorAt(1.0, QColor(60, 60, 64));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(light);
    p.drawRoundedRect(glass, radius * 0.7, radius * 0.7);

    QFont font(QStringLiteral("Verdana"));
    font.setBold(true);
    font.setPixelSize(static_cast<int>(glass.height() * 0.5));
    font.setLetterSpacing(QFont::PercentageSpacing, 110);
    p.setFont(font);
    p.setPen(lit_ ? QColor(255, 255, 255) : QColor(140, 140, 145));
    p.drawText(glass, Qt::AlignCenter, lit_ ? QStringLiteral("ON AIR") : QStringLiteral("OFF AIR"));
}
