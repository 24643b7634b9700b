// The floor a Qt tray application cannot go below: a tray icon, a menu of thirteen entries laid
// out like the application's, and a network access manager that is never used. Nothing else.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QNetworkAccessManager network;

    // Nine actions and four separators, as in the application's menu.
    QMenu menu;
    menu.addAction(QStringLiteral("Open"));
    menu.addAction(QStringLiteral("Status"))->setEnabled(false);
    menu.addAction(QStringLiteral("http://127.0.0.1:2104"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Start"));
    menu.addAction(QStringLiteral("Restart"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Start at Login"))->setCheckable(true);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Show Data Folder"));
    menu.addAction(QStringLiteral("Show Log"));
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &application,
                     &QCoreApplication::quit);

    // A drawn icon, as the application draws its own: no icon theme is looked up.
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x3b, 0x3f, 0x46), 2));
    painter.drawEllipse(QRectF(2, 2, 18, 18));
    painter.end();

    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("Floor"));
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}
