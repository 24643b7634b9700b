#include "menu_appearance.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

MenuAppearance menuAppearanceFor(const ServerState& state, bool ownsServerProcess)
{
    switch (state.kind()) {
    case ServerState::Case::starting:
        return {QStringLiteral("Server starting\u2026"), QStringLiteral("Stop Server"), true, false,
                TrayIconKind::starting};
    case ServerState::Case::running:
        if (ownsServerProcess)
            return {QStringLiteral("Server running"), QStringLiteral("Stop Server"), true, true,
                    TrayIconKind::running};
        return {QStringLiteral("Server running (external)"),
                QStringLiteral("Server Managed Externally"), false, false, TrayIconKind::running};
    case ServerState::Case::failed:
        return {state.message(), QStringLiteral("Start Server"), true, false, TrayIconKind::failed};
    case ServerState::Case::stopped:
        break;
    }
    return {QStringLiteral("Server stopped"), QStringLiteral("Start Server"), true, false,
            TrayIconKind::stopped};
}

QColor trayInk(TrayIconKind kind)
{
    // Mid-luminance inks (0.25 to 0.27): at least 3:1 against a black, a white and a Breeze
    // Dark (#31363b) panel alike, so no panel swallows the icon.
    switch (kind) {
    case TrayIconKind::running:
        return QColor(0x2e, 0x9e, 0x4f);
    case TrayIconKind::failed:
        return QColor(0xe8, 0x60, 0x3f);
    case TrayIconKind::stopped:
    case TrayIconKind::starting:
        break;
    }
    return QColor(0x89, 0x8c, 0x91);
}

namespace {

QPixmap drawIcon(TrayIconKind kind, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = trayInk(kind);
    const qreal stroke = std::max<qreal>(1.5, size / 11.0);
    const QRectF ring = QRectF(0, 0, size, size).adjusted(stroke, stroke, -stroke, -stroke);

    if (kind == TrayIconKind::starting) {
        // A ring of dots: work under way.
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        const int dots = 8;
        const qreal radius = ring.width() / 2;
        for (int i = 0; i < dots; ++i) {
            const qreal angle = 2 * M_PI * i / dots;
            const QPointF centre =
                ring.center() + QPointF(std::cos(angle), std::sin(angle)) * radius;
            painter.drawEllipse(centre, stroke * 0.85, stroke * 0.85);
        }
        return pixmap;
    }

    painter.setPen(QPen(ink, stroke));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(ring);
    const QRectF inner = ring.adjusted(ring.width() * 0.27, ring.height() * 0.27,
                                       -ring.width() * 0.27, -ring.height() * 0.27);
    switch (kind) {
    case TrayIconKind::stopped: // a hollow recording circle
        painter.drawEllipse(inner);
        break;
    case TrayIconKind::running: // a filled circle, with no second colour that a panel could swallow
        painter.setBrush(ink);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(ring.adjusted(-stroke / 2, -stroke / 2, stroke / 2, stroke / 2));
        break;
    case TrayIconKind::failed: { // an exclamation mark in a circle
        painter.setPen(QPen(ink, stroke * 1.2, Qt::SolidLine, Qt::RoundCap));
        const qreal x = ring.center().x();
        painter.drawLine(QPointF(x, ring.top() + ring.height() * 0.24),
                         QPointF(x, ring.top() + ring.height() * 0.58));
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        painter.drawEllipse(QPointF(x, ring.top() + ring.height() * 0.76), stroke * 0.75,
                            stroke * 0.75);
        break;
    }
    case TrayIconKind::starting:
        break;
    }
    return pixmap;
}

} // namespace

QIcon trayIcon(TrayIconKind kind)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(drawIcon(kind, size));
    return icon;
}

// A dash in a box: the mixed check state, which a tray menu has no way to show itself.
QIcon approvalPendingIcon()
{
    QIcon icon;
    // Not the palette's text colour: the host draws the menu in its own theme, which may be dark.
    const QColor ink = trayInk(TrayIconKind::stopped);
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal stroke = std::max(1.5, size / 12.0);
        const QRectF box =
            QRectF(0, 0, size, size).adjusted(size * 0.15, size * 0.15, -size * 0.15, -size * 0.15);
        painter.setPen(QPen(ink, stroke));
        painter.drawRoundedRect(box, size * 0.1, size * 0.1);
        const qreal dash = std::max(2.0, size / 8.0);
        painter.fillRect(QRectF(box.left() + box.width() * 0.22, box.center().y() - dash / 2,
                                box.width() * 0.56, dash),
                         ink);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
