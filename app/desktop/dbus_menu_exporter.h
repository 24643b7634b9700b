#pragma once

#include "desktop/dbus_menu_types.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QHash>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

class QAction;

// Publishes a QMenu over com.canonical.dbusmenu at `path`, so that the panel draws the menu
// itself and reports clicks back. A flat menu: its entries are the root's children. The calls its
// adaptor answers are this object's, as is their context, through which a call is refused.
class DBusMenuExporter final : public QObject, public QDBusContext
{
    Q_OBJECT

public:
    DBusMenuExporter(QDBusConnection bus, QString path, QMenu* menu, QObject* parent = nullptr);
    ~DBusMenuExporter() override;

    QString path() const { return m_path; }
    QMenu* menu() const { return m_menu; }
    uint revision() const { return m_revision; }

    // What the adaptor answers.
    DBusMenuLayoutItem layout() const;
    QVariantMap properties(int id) const;
    QAction* action(int id) const;
    void aboutToShow();

Q_SIGNALS:
    void changed(uint revision);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int idOf(QAction* action) const;

    QDBusConnection m_bus;
    QString m_path;
    QPointer<QMenu> m_menu;
    // The menu as the filter meets it, also while it is being destroyed and no longer a QMenu.
    const QObject* m_watched;
    mutable QHash<QAction*, int> m_ids;
    mutable int m_nextId = 1;
    uint m_revision = 1;
    bool m_changePending = false;
};

// The D-Bus menu's label for a Qt text: "&" marks a mnemonic there, "_" here.
QString dbusMenuLabel(const QString& text);
