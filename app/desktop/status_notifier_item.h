#pragma once

#include "session/status_item.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <memory>

class DBusMenuExporter;

// The icon as a StatusNotifierItem of our own, with its menu over com.canonical.dbusmenu: the
// panel opens the menu itself on either click (ItemIsMenu), so no window of ours is needed, and
// the tool tip carries the server's state. Registers again whenever a watcher (re)appears.
class StatusNotifierItem final : public QObject, public StatusItem
{
    Q_OBJECT

public:
    StatusNotifierItem(QDBusConnection bus, QString id, QString title, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    void setIcon(const QIcon& icon) override;
    QIcon icon() const override { return m_icon; }
    void setToolTip(const QString& title, const QString& body) override;
    void setMenu(QMenu* menu) override;
    void setNeedsAttention(bool needed, const QIcon& attentionIcon) override;
    void show() override;
    bool isVisible() const override { return m_shown; }

    // What the adaptor answers.
    QDBusConnection bus() const { return m_bus; }
    QString id() const { return m_id; }
    QString title() const { return m_title; }
    QString toolTipTitle() const { return m_toolTipTitle; }
    QString toolTipBody() const { return m_toolTipBody; }
    QString menuPath() const;
    bool needsAttention() const { return m_needsAttention; }
    // ARGB32 in network byte order at each size the panels ask for.
    QList<std::tuple<int, int, QByteArray>> pixmaps() const { return pixmapsOf(m_icon); }
    QList<std::tuple<int, int, QByteArray>> attentionPixmaps() const
    {
        return pixmapsOf(m_attentionIcon);
    }

Q_SIGNALS:
    void iconChanged();
    void toolTipChanged();
    void needsAttentionChanged();
    void attentionIconChanged();

private:
    void registerWithWatcher();
    static QList<std::tuple<int, int, QByteArray>> pixmapsOf(const QIcon& icon);

    QDBusConnection m_bus;
    QString m_service;
    QString m_id;
    QString m_title;
    QIcon m_icon;
    QString m_toolTipTitle;
    QString m_toolTipBody;
    bool m_needsAttention = false;
    QIcon m_attentionIcon;
    std::unique_ptr<DBusMenuExporter> m_menu;
    bool m_shown = false;
};

// Our own StatusNotifierItem when a watcher is on the bus, else Qt's tray icon (XEmbed on X11).
std::unique_ptr<StatusItem> makeStatusItem(QDBusConnection bus);
