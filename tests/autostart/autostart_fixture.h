#pragma once

// Files for the autostart tests: an account with the service, entries written by hand and
// stand-in executables.
#include "platform/xdg_autostart.h"
#include "support/test_account.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTest>
#include <memory>
#include <optional>

// A register or unregister that must succeed, with the failure's text when it does not.
#define QVERIFY_SUCCEEDS(call)                                                                     \
    do {                                                                                           \
        const std::optional<QString> failure = (call);                                             \
        QVERIFY2(!failure, qPrintable(failure.value_or(QString())));                               \
    } while (false)

inline void writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(contents);
}

inline void makeExecutable(const QString& path)
{
    writeFile(path, "#!/bin/sh\n");
    QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// As an editor saves: a new file renamed over the old one.
inline void replaceFile(const QString& path, const QByteArray& contents)
{
    writeFile(path + QStringLiteral(".edit"), contents);
    QVERIFY(::rename(QFile::encodeName(path + QStringLiteral(".edit")).constData(),
                     QFile::encodeName(path).constData()) == 0);
}

// A temporary account with an installed executable and the autostart service over it. The
// settings pages the service starts are recorded, not run.
struct AutostartAccount
{
    explicit AutostartAccount(const QString& executableName = QStringLiteral("TarvessaAudioServer"))
        : executable(account.path(QStringLiteral("opt/bin/") + executableName))
    {
        makeExecutable(executable);
        // Nothing listens there: tests that reach for a server give their own port.
        account.writeInfoJson(QJsonObject{{QStringLiteral("TarvessaServerPort"), 9}});
    }

    // Created at the first call: change account.environment before it.
    XdgAutostartService& service()
    {
        if (!m_service)
            m_service = std::make_unique<XdgAutostartService>(
                account.folders(), executable, account.workspace,
                [this](const QString& program, const QStringList& arguments) {
                    started.append(QStringList{program} + arguments);
                    return true;
                });
        return *m_service;
    }

    // The entry as registering writes it, with the line given replacing the GNOME switch or,
    // for any other key, added.
    QByteArray entryWith(const QByteArray& line)
    {
        QByteArray entry = service().entryContents();
        if (line.startsWith("X-GNOME-Autostart-enabled="))
            return entry.replace("X-GNOME-Autostart-enabled=true", line);
        return line.isEmpty() ? entry : entry + line + '\n';
    }

    TestAccount account;
    QString executable;
    QList<QStringList> started; // program, then its arguments

private:
    std::unique_ptr<XdgAutostartService> m_service;
};
