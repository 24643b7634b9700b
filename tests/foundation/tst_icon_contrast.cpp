// The tray's icons on dark, light and mid-grey panels: at every size the tray asks for, at least a
// quarter of the substantially opaque pixels stand out at 3:1 or more (WCAG 2.1 relative-luminance
// contrast) against any grey and the panels we measured; the four state icons differ by shape.
#include "controller/menu_appearance.h"

#include <QTest>
#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {
constexpr int Sizes[] = {16, 22, 24, 32, 48, 64};

double luminance(QColor c)
{
    const auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// The luminance of each pixel of the icon drawn at `size`, row after row; -1 where the pixel is
// not substantially opaque.
QList<double> drawn(const QIcon& icon, int size)
{
    const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    QList<double> all;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            all.append(qAlpha(image.pixel(x, y)) >= 128 ? luminance(image.pixelColor(x, y)) : -1);
    return all;
}
} // namespace

class IconContrastTest : public QObject
{
    Q_OBJECT

private slots:
    void standsOutOnEveryPanel_data()
    {
        QTest::addColumn<QIcon>("icon");
        QTest::newRow("stopped") << trayIcon(TrayIconKind::stopped);
        QTest::newRow("starting") << trayIcon(TrayIconKind::starting);
        QTest::newRow("running") << trayIcon(TrayIconKind::running);
        QTest::newRow("failed") << trayIcon(TrayIconKind::failed);
        QTest::newRow("approval required") << approvalPendingIcon();
    }
    void standsOutOnEveryPanel()
    {
        QFETCH(QIcon, icon);
        // The panels measured on the desktops we run on, and every grey between black and white.
        QList<QColor> panels = {QColor(0x31, 0x36, 0x3b), QColor(0x44, 0x57, 0x6c),
                                QColor(0xcf, 0xd2, 0xd4)};
        for (int grey = 0; grey < 256; ++grey)
            panels.append(QColor(grey, grey, grey));
        // The sizes it offers a tray that picks one (an X11 tray, Qt's own item) are these.
        QList<QSize> offered;
        for (const int size : Sizes)
            offered.append(QSize(size, size));
        QCOMPARE(icon.availableSizes(), offered);
        for (const int size : Sizes) {
            QList<double> ink = drawn(icon, size);
            QCOMPARE(ink.size(), size * size);
            ink.removeAll(-1.0);
            QVERIFY2(ink.size() >= size, qPrintable(u"%1 px: blank"_s.arg(size)));
            // A quarter of the ink standing out is enough for the eye to find the figure.
            for (const QColor& panel : panels) {
                const auto standing = std::ranges::count_if(ink, [b = luminance(panel)](double l) {
                    return (std::max(l, b) + 0.05) / (std::min(l, b) + 0.05) >= 3.0;
                });
                QVERIFY2(standing * 4 >= ink.size(),
                         qPrintable(u"%1 px on %2: too few at 3:1"_s.arg(size).arg(panel.name())));
            }
        }
    }

    // Each icon sits in the middle of its square: the centre of its opaque pixels, where the eye
    // sees it, is within a twentieth of a pixel of the square's.
    void iconsAreCentred()
    {
        const QIcon icons[] = {trayIcon(TrayIconKind::stopped), trayIcon(TrayIconKind::starting),
                               trayIcon(TrayIconKind::running), trayIcon(TrayIconKind::failed),
                               approvalPendingIcon()};
        for (const QIcon& icon : icons)
            for (const int size : Sizes) {
                const QImage image =
                    icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
                double weight = 0, x = 0, y = 0;
                for (int row = 0; row < size; ++row)
                    for (int column = 0; column < size; ++column) {
                        const int alpha = qAlpha(image.pixel(column, row));
                        weight += alpha;
                        x += alpha * (column + 0.5);
                        y += alpha * (row + 0.5);
                    }
                const double off = std::hypot(x / weight - size / 2.0, y / weight - size / 2.0);
                QVERIFY2(off < 0.05, qPrintable(u"%1 px: %2 px off"_s.arg(size).arg(off)));
            }
    }

    void statesDifferByShape()
    {
        for (const int size : Sizes)
            for (int a = 0; a <= int(TrayIconKind::failed); ++a)
                for (int b = 0; b < a; ++b) {
                    const QList<double> one = drawn(trayIcon(TrayIconKind(a)), size),
                                        other = drawn(trayIcon(TrayIconKind(b)), size);
                    // pixels of the light figure in one shape only: the rims fill the gaps alike
                    int differing = 0;
                    for (qsizetype i = 0; i < one.size(); ++i)
                        differing += (one[i] >= 0.3) != (other[i] >= 0.3);
                    QVERIFY2(differing >= size * size / 10,
                             qPrintable(u"%1 px: %2, %3 alike"_s.arg(size).arg(a).arg(b)));
                }
    }
};

QTEST_MAIN(IconContrastTest)
#include "tst_icon_contrast.moc"
