#include "controller/menu_appearance.h"
#include "session/status_item.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>
#include <map>

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

// Every figure is a light ink inside a dark rim: on a dark panel the ink stands out, on a light
// one the rim does, and on a mid-grey one at least one of them still reaches 3:1.
const QColor RimInk(0x14, 0x16, 0x19);

QColor lightInk(TrayIconKind kind)
{
    switch (kind) {
    case TrayIconKind::running:
        return QColor(0x7d, 0xe8, 0x9a);
    case TrayIconKind::failed:
        return QColor(0xff, 0xcc, 0x4d);
    case TrayIconKind::stopped:
    case TrayIconKind::starting:
        break;
    }
    return QColor(0xdf, 0xe1, 0xe5);
}

QPainterPath ring(QPointF centre, qreal radius, qreal width)
{
    QPainterPath circle;
    circle.addEllipse(centre, radius, radius);
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    return stroker.createStroke(circle);
}

QPainterPath disc(QPointF centre, qreal radius)
{
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return path;
}

// The backing fills the figure's holes with the rim's ink, so that a panel showing through them
// does not read as more strokes.
QPixmap paintFigure(const QPainterPath& figure, QColor ink, int size, qreal rim,
                    const QPainterPath& backing = {})
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(backing, RimInk);
    painter.strokePath(figure, QPen(RimInk, 2 * rim, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(figure, ink);
    return pixmap;
}

qreal rimWidth(int size)
{
    return std::max(1.0, size / 12.0);
}

QPixmap drawIcon(TrayIconKind kind, int size)
{
    const qreal rim = rimWidth(size);
    const qreal width = std::max(2.0, size / 9.0);
    const QPointF centre(size / 2.0, size / 2.0);
    const qreal radius = size / 2.0 - rim - width / 2;
    QPainterPath figure, backing;
    switch (kind) {
    case TrayIconKind::stopped: { // a stop mark: a square with rounded corners
        const qreal half = (radius + width / 2) * 0.75;
        figure.addRoundedRect(QRectF(centre - QPointF(half, half), centre + QPointF(half, half)),
                              half * 0.35, half * 0.35);
        break;
    }
    case TrayIconKind::starting: // a ring of dots: work under way
        for (int i = 0; i < 6; ++i) {
            const qreal angle = 2 * M_PI * i / 6;
            figure.addPath(
                disc(centre + QPointF(std::cos(angle), std::sin(angle)) * radius, width * 1.15));
        }
        backing = disc(centre, radius);
        break;
    case TrayIconKind::running: { // a disc with a play mark cut out of it
        const qreal r = radius + width / 2;
        QPainterPath play;
        play.moveTo(centre + QPointF(-r * 0.35, -r * 0.55));
        play.lineTo(centre + QPointF(r * 0.6, 0));
        play.lineTo(centre + QPointF(-r * 0.35, r * 0.55));
        play.closeSubpath();
        figure = disc(centre, r).subtracted(play);
        break;
    }
    case TrayIconKind::failed: { // an exclamation mark in a ring
        QPainterPath bar;
        bar.addRoundedRect(QRectF(centre.x() - width * 0.7, centre.y() - radius * 0.65, width * 1.4,
                                  radius * 0.75),
                           width * 0.3, width * 0.3);
        figure = ring(centre, radius, width)
                     .united(bar)
                     .united(disc(centre + QPointF(0, radius * 0.45), width * 0.7));
        backing = disc(centre, radius);
        break;
    }
    }
    return paintFigure(figure, lightInk(kind), size, rim, backing);
}

} // namespace

namespace {
// Draws the figure at a size only when a host first asks for that size: an XEmbed tray wants
// one, a StatusNotifierItem host a few, and a state never shown is never drawn.
class FigureEngine final : public QIconEngine
{
public:
    explicit FigureEngine(TrayIconKind kind) : m_kind(kind) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::max(1, std::min(size.width(), size.height()));
        QPixmap& drawn = m_drawn[side];
        if (drawn.isNull())
            drawn = drawIcon(m_kind, side);
        return drawn;
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        painter->drawPixmap(rect, pixmap(rect.size(), mode, state));
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (int side : TrayIconSides)
            sizes.append(QSize(side, side));
        return sizes;
    }
    QIconEngine* clone() const override { return new FigureEngine(*this); }
    QString key() const override { return QStringLiteral("TarvessaFigure"); }

private:
    TrayIconKind m_kind;
    std::map<int, QPixmap> m_drawn;
};
} // namespace

QIcon trayIcon(TrayIconKind kind)
{
    return QIcon(new FigureEngine(kind));
}

// A dash in a box: the mixed check state, which a tray menu has no way to show itself. Drawn
// like the tray's icons, since the host draws the menu in its own theme, which may be dark.
QIcon approvalPendingIcon()
{
    QIcon icon;
    for (const int size : TrayIconSides) {
        const qreal rim = rimWidth(size);
        const qreal width = std::max(2.5, size / 10.0);
        const QRectF box =
            QRectF(0, 0, size, size).adjusted(size * 0.15, size * 0.15, -size * 0.15, -size * 0.15);
        QPainterPath outline, dash;
        outline.addRoundedRect(box, size * 0.1, size * 0.1);
        QPainterPathStroker stroker;
        stroker.setWidth(width);
        dash.addRect(QRectF(box.left() + box.width() * 0.22, box.center().y() - width / 2,
                            box.width() * 0.56, width));
        icon.addPixmap(paintFigure(stroker.createStroke(outline).united(dash),
                                   lightInk(TrayIconKind::stopped), size, rim, outline));
    }
    return icon;
}
