#include "ui/Splash.h"

#include "ui/Icons.h"

#include "QuarnelVersion.h"

#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QScreen>

#include <array>

CSplash::CSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_bitmap(DrawPicture()) {
    setObjectName(QStringLiteral("splash"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFixedSize(m_bitmap.size());
}

void CSplash::ShowCentred() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
    }
    show();
    raise();
    repaint();
    // Let the window system map and draw the window before the caller blocks.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void CSplash::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_bitmap);
}

namespace {

// A faint network of nodes, the sites the program keeps, across the background.
void DrawNetwork(QPainter& p) {
    // Kept to the right and top edges, clear of the name.
    const std::array<QPointF, 9> nodes = {QPointF(300, 40),  QPointF(385, 26),  QPointF(470, 48),
                                          QPointF(528, 104), QPointF(492, 160), QPointF(532, 222),
                                          QPointF(468, 250), QPointF(380, 236), QPointF(512, 300)};
    const std::array<std::pair<int, int>, 12> links = {
        {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {2, 4}, {4, 5}, {5, 6}, {4, 6}, {6, 7}, {6, 8}, {5, 8}, {0, 2}}};
    p.setPen(QPen(QColor(255, 255, 255, 45), 1.5));
    for (const auto& [a, b] : links)
        p.drawLine(nodes[a], nodes[b]);
    p.setPen(Qt::NoPen);
    for (const QPointF& node : nodes) {
        p.setBrush(QColor(255, 255, 255, 40));
        p.drawEllipse(node, 9, 9);
        p.setBrush(QColor(255, 255, 255, 110));
        p.drawEllipse(node, 3.5, 3.5);
    }
}

} // namespace

QPixmap CSplash::DrawPicture() {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    QLinearGradient sky(QPointF(0, 0), QPointF(kWidth, kHeight));
    sky.setColorAt(0.0, QColor(0x17, 0x3f, 0x8a));
    sky.setColorAt(0.55, QColor(0x1f, 0x6f, 0xc2));
    sky.setColorAt(1.0, QColor(0x2a, 0xa1, 0xb8));
    p.fillRect(image.rect(), sky);

    QRadialGradient glow(QPointF(140, 120), 260);
    glow.setColorAt(0.0, QColor(255, 255, 255, 50));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(image.rect(), glow);

    DrawNetwork(p);

    // A soft wave along the bottom.
    QPainterPath wave;
    wave.moveTo(0, 300);
    wave.cubicTo(160, 260, 330, 350, kWidth, 285);
    wave.lineTo(kWidth, kHeight);
    wave.lineTo(0, kHeight);
    wave.closeSubpath();
    p.fillPath(wave, QColor(255, 255, 255, 28));
    QPainterPath wave2;
    wave2.moveTo(0, 330);
    wave2.cubicTo(200, 300, 360, 370, kWidth, 320);
    wave2.lineTo(kWidth, kHeight);
    wave2.lineTo(0, kHeight);
    wave2.closeSubpath();
    p.fillPath(wave2, QColor(255, 255, 255, 30));

    // The program icon and name.
    p.drawPixmap(QRect(44, 92, 96, 96), Icons::AppPixmap(96));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(64);
    title.setBold(true);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 1.0);
    p.setFont(title);
    p.setPen(QColor(0, 0, 0, 70));
    p.drawText(QRect(162, 95, 380, 80), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quarnel"));
    p.setPen(Qt::white);
    p.drawText(QRect(160, 92, 380, 80), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quarnel"));

    QFont subtitle(QStringLiteral("WenQuanYi Micro Hei"));
    subtitle.setPixelSize(20);
    p.setFont(subtitle);
    p.setPen(QColor(255, 255, 255, 225));
    p.drawText(QRect(164, 170, 380, 30), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("FTP 站点离线浏览"));

    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(13);
    p.setFont(small);
    p.setPen(QColor(255, 255, 255, 190));
    p.drawText(QRect(24, kHeight - 34, 300, 20), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version " QUARNEL_VERSION));

    // Thin border.
    p.setPen(QPen(QColor(0x0d, 0x2a, 0x5c), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, kWidth - 1, kHeight - 1));
    p.end();
    return QPixmap::fromImage(image);
}
