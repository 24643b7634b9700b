// The tray's icons on dark and light panels: every substantially opaque pixel (alpha at least
// half) stands out at 3:1 or more (WCAG 2.1 relative-luminance contrast) against a black, a white
// and a Breeze Dark panel, at every size the tray asks for; the four state icons differ by shape.
#include "controller/menu_appearance.h"

#include <QApplication>
#include <QTest>
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
        const std::pair<const char*, QColor> panels[] = {
            {"black", Qt::black}, {"white", Qt::white}, {"Breeze Dark", QColor(0x31, 0x36, 0x3b)}};
        for (const int size : Sizes) {
            const QImage image = drawn(icon, size);
            QCOMPARE(image.size(), QSize(size, size));
            int opaque = 0;
            double worst = 21;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x) {
                    const QColor pixel = image.pixelColor(x, y); // not premultiplied
                    if (pixel.alpha() < 128)
                        continue;
                    ++opaque;
                    for (const auto& [name, panel] : panels)
                        worst = std::min(worst, contrast(luminance(pixel), luminance(panel)));
                }
            QVERIFY2(opaque >= size, qPrintable(QStringLiteral("%1 px: blank").arg(size)));
            QVERIFY2(worst >= 3.0,
                     qPrintable(QStringLiteral("%1 px: contrast %2").arg(size).arg(worst)));
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
                    int differing = 0; // pixels opaque in one shape only
                    for (int y = 0; y < size; ++y)
                        for (int x = 0; x < size; ++x)
                            differing += (qAlpha(one.pixel(x, y)) >= 128) !=
                                         (qAlpha(other.pixel(x, y)) >= 128);
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
