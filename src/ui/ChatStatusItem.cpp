#include "ui/ChatStatusItem.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "core/Paths.h"
#include "core/TarvoLog.h"

namespace tarvo::ui {

namespace {

// A filled rounded bubble with a tail at the lower left, in white on a
// transparent ground (how menu-bar symbols look), with a thin dark rim so it
// reads on light trays too.
QPixmap drawBubble(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    const qreal s = size;
    const QRectF body(s * 0.08, s * 0.12, s * 0.84, s * 0.62);
    QPainterPath bubble;
    bubble.addRoundedRect(body, s * 0.22, s * 0.22);
    QPainterPath tail;
    tail.moveTo(s * 0.24, body.bottom() - s * 0.06);
    tail.lineTo(s * 0.18, s * 0.94);
    tail.lineTo(s * 0.48, body.bottom() - s * 0.02);
    tail.closeSubpath();
    const QPainterPath shape = bubble.united(tail);
    p.setPen(QPen(QColor(20, 30, 45, 200), std::max(1.0, s / 24)));
    p.setBrush(Qt::white);
    p.drawPath(shape);
    return pixmap;
}

}  // namespace

QIcon ChatStatusItem::speechBubbleIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(drawBubble(size));
    return icon;
}

ChatStatusItem::ChatStatusItem(std::function<void()> onClick)
    : onClick_(std::move(onClick)), tray_(new QSystemTrayIcon(this)) {
    tray_->setIcon(speechBubbleIcon());
    tray_->setToolTip(QStringLiteral("Chat with parent"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if ((r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) && onClick_)
            onClick_();
    });
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        TarvoLog("agent", Paths::agentLog())
            .warn("no system tray — chat icon appears when a tray host starts");
    // Shown even without a tray: Qt embeds the icon once a tray host appears.
    tray_->show();
}

ChatStatusItem::~ChatStatusItem() = default;

}  // namespace tarvo::ui
