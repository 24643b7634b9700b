#include "desktop/desktop_services.h"
#include "base/product.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

int MessageBoxAlerts::run(const AlertRequest& request)
{
    QMessageBox box;
    box.setIcon(request.style == AlertRequest::Style::Warning ? QMessageBox::Warning
                                                              : QMessageBox::Information);
    box.setWindowTitle(request.title);
    box.setTextFormat(Qt::RichText);
    box.setText(QStringLiteral("<b>%1</b>").arg(request.title.toHtmlEscaped()));
    box.setInformativeText(request.informativeText);
    // Shown exactly as it stands: a failure text is never markup, and a folder's name may hold
    // runs of spaces that rich text would fold into one.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
        label->setText(request.informativeText);
    }
    QList<QAbstractButton*> buttons;
    for (const QString& title : request.buttons) {
        // Buttons keep the reading order they were given in; the first is the default.
        QPushButton* button = box.addButton(title, QMessageBox::ActionRole);
        buttons.append(button);
    }
    if (!buttons.isEmpty()) {
        box.setDefaultButton(static_cast<QPushButton*>(buttons.first()));
        box.setEscapeButton(buttons.last());
    }
    // Wide enough that a failure's message reads as a sentence, not a column of words.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(400, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    // Raised and activated so that a tray application's alert is not hidden behind windows.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return static_cast<int>(buttons.indexOf(box.clickedButton()));
}

void DesktopWorkspace::openUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

void DesktopWorkspace::openFolder(const QString& folderPath)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(folderPath));
}

void revealInFileManager(const QDBusConnection& bus, const QString& filePath,
                         std::chrono::milliseconds limit, std::function<void(bool shown)> done)
{
    // A call on a bus that is not connected never finishes: nobody can be asked, so say so now.
    if (!bus.isConnected()) {
        done(false);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    // Fully encoded: a space or a "#" in the path must not end the address.
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(filePath).toEncoded());
    call << QStringList{uri} << QString();
    // Asked without waiting: a slow file manager must not hold up the menu. Its answer within the
    // limit decides whether the folder is opened instead; past it, the folder is opened and the
    // answer is dropped, so one request never leads to two windows of ours.
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call, static_cast<int>(limit.count())));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         done(!finished->isError());
                     });
}

void DesktopWorkspace::revealFile(const QString& filePath)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    revealInFileManager(m_bus, filePath, m_revealLimit, [this, folder](bool shown) {
        if (!shown)
            openFolder(folder);
    });
}

void notifyNoTrayIcon(const QDBusConnection& bus)
{
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << displayName() << 0u << applicationId()
           << QStringLiteral("%1 is running without a tray icon").arg(displayName())
           << QStringLiteral("This desktop shows no tray, so the icon cannot be shown. Launch %1 "
                             "again to open its web interface; \"tarvessa-audio-server --quit\" "
                             "ends it.")
                  .arg(displayName())
           << QStringList() << QVariantMap() << -1;
    // Only a service that runs already: none is started for this.
    notify.setAutoStartService(false);
    bus.send(notify);
}

void SystemClipboard::setText(const QString& text)
{
    QGuiApplication::clipboard()->setText(text);
    // In a Wayland session, Xwayland hands our selection to Wayland applications only while an X
    // window of ours has focus, and a tray item clicked through the panel's menu has none (nor,
    // natively, the input serial Wayland asks for). wl-copy sets it through the compositor's
    // data-control protocol (sway, KDE), which asks for neither.
    if (!qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return;
    const QString wlCopy = QStandardPaths::findExecutable(QStringLiteral("wl-copy"));
    if (!wlCopy.isEmpty())
        QProcess::startDetached(wlCopy, {QStringLiteral("--"), text});
}
