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

namespace {

QPixmap drawIcon(TrayIconKind kind, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink =
        kind == TrayIconKind::failed ? QColor(0xd9, 0x48, 0x2b) : QColor(0x3b, 0x3f, 0x46);
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
    case TrayIconKind::running: // a filled recording circle
        painter.setBrush(QColor(0x2e, 0x9e, 0x4f));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(ring.adjusted(-stroke / 2, -stroke / 2, stroke / 2, stroke / 2));
        painter.setBrush(Qt::white);
        painter.drawEllipse(inner);
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
