// The tray's icons on dark, light and mid-grey panels: at every size the tray asks for, at least a
// quarter of the substantially opaque pixels stand out at 3:1 or more (WCAG 2.1 relative-luminance
// contrast) against any grey and the panels we measured; the four state icons differ by shape.
#include "controller/menu_appearance.h"

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <cmath>

namespace {
constexpr int Sizes[] = {16, 22, 24, 32, 48, 64};

double luminance(QColor colour)
{
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
           0.0722 * channel(colour.blueF());
}

double contrast(double a, double b)
{
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QImage drawn(const QIcon& icon, int size)
{
    return icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
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
        for (const int size : Sizes) {
            const QImage image = drawn(icon, size);
            QCOMPARE(image.size(), QSize(size, size));
            QList<double> ink; // the luminance of every substantially opaque pixel
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    if (const QColor pixel = image.pixelColor(x, y); pixel.alpha() >= 128)
                        ink.append(luminance(pixel));
            QVERIFY2(ink.size() >= size, qPrintable(QStringLiteral("%1 px: blank").arg(size)));
            // A quarter of the ink standing out is enough for the eye to find the figure.
            for (const QColor& panel : panels) {
                const double background = luminance(panel);
                const auto standing = std::count_if(ink.begin(), ink.end(), [&](double l) {
                    return contrast(l, background) >= 3.0;
                });
                QVERIFY2(standing * 4 >= ink.size(),
                         qPrintable(QStringLiteral("%1 px on %2: %3 of %4 pixels at 3:1")
                                        .arg(size)
                                        .arg(panel.name())
                                        .arg(standing)
                                        .arg(ink.size())));
            }
        }
    }

    void statesDifferByShape()
    {
        const TrayIconKind kinds[] = {TrayIconKind::stopped, TrayIconKind::starting,
                                      TrayIconKind::running, TrayIconKind::failed};
        for (const int size : Sizes)
            for (const TrayIconKind a : kinds)
                for (const TrayIconKind b : kinds) {
                    if (a >= b)
                        continue;
                    const QImage one = drawn(trayIcon(a), size), other = drawn(trayIcon(b), size);
                    // pixels of the light figure in one shape only: the rims fill the gaps alike
                    const auto figure = [](const QImage& image, int x, int y) {
                        const QColor pixel = image.pixelColor(x, y);
                        return pixel.alpha() >= 128 && luminance(pixel) >= 0.3;
                    };
                    int differing = 0;
                    for (int y = 0; y < size; ++y)
                        for (int x = 0; x < size; ++x)
                            differing += figure(one, x, y) != figure(other, x, y);
                    QVERIFY2(differing >= size * size / 10,
                             qPrintable(QStringLiteral("%1 px: %2 and %3 alike")
                                            .arg(size)
                                            .arg(int(a))
                                            .arg(int(b))));
                }
    }
};

QTEST_MAIN(IconContrastTest)
#include "tst_icon_contrast.moc"
