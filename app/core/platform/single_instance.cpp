#include "single_instance.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace {
constexpr auto BaseName = "io.tarvessa.tarvessa-audio-server";
const QByteArray ReopenWord = "reopen\n";
const QByteArray QuitWord = "quit\n";
} // namespace

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent),
      m_socketPath(folder + QLatin1Char('/') + QLatin1String(BaseName) + QStringLiteral(".socket")),
      m_lock(folder + QLatin1Char('/') + QLatin1String(BaseName) + QStringLiteral(".lock"))
{
    m_lock.setStaleLockTime(0); // held for the whole run: only a dead holder makes it stale
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Outcome SingleInstance::claim()
{
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() == QLockFile::LockFailedError && sendWord(ReopenWord))
            return Outcome::ReopenSent;
        // A holder that does not answer (hung, or stopped) still owns the port: running beside
        // it would only fight over it. It may be starting up, so it has one more chance.
        if (m_lock.error() == QLockFile::LockFailedError &&
            m_lock.tryLock(m_limits.answerTimeoutMs) == false) {
            if (sendWord(ReopenWord))
                return Outcome::ReopenSent;
            m_error = QStringLiteral("another instance holds the lock but does not answer");
            return Outcome::HolderNotAnswering;
        }
        if (!m_lock.isLocked()) {
            m_error = QStringLiteral("cannot create the lock file");
            return Outcome::Unavailable;
        }
    }
    // We hold the lock, so a socket file left here belongs to a crashed instance.
    QFile::remove(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        m_error = m_server->errorString();
        return Outcome::Unavailable;
    }
    m_server->setMaxPendingConnections(m_limits.mostConnections);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            client->setReadBufferSize(m_limits.longestRequest);
            if (m_clients >= m_limits.mostConnections) {
                client->abort();
                client->deleteLater();
                continue;
            }
            ++m_clients;
            connect(client, &QObject::destroyed, this, [this] { --m_clients; });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            auto* lifetime = new QTimer(client);
            lifetime->setSingleShot(true);
            connect(lifetime, &QTimer::timeout, client, [client] {
                client->abort();
                client->deleteLater();
            });
            lifetime->start(m_limits.connectionLifetimeMs);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine()) {
                    if (client->bytesAvailable() >= m_limits.longestRequest) {
                        client->abort();
                        client->deleteLater();
                    }
                    return;
                }
                const QByteArray word = client->readLine(m_limits.longestRequest);
                if (word == ReopenWord || word == QuitWord) {
                    client->write("ok\n");
                    client->flush();
                    if (word == ReopenWord)
                        emit reopenRequested();
                    else
                        emit quitRequested();
                }
                client->disconnectFromServer();
            });
        }
    });
    return Outcome::Primary;
}

bool SingleInstance::sendWord(const QByteArray& word)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(m_limits.answerTimeoutMs))
        return false;
    socket.write(word);
    if (!socket.waitForBytesWritten(m_limits.answerTimeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(m_limits.answerTimeoutMs))
            return false;
    }
    return socket.readLine() == "ok\n";
}

SingleInstance::QuitOutcome SingleInstance::requestQuit(int waitMs)
{
    if (m_lock.tryLock(0)) {
        m_lock.unlock();
        return QuitOutcome::NoneRunning;
    }
    if (m_lock.error() != QLockFile::LockFailedError) {
        m_error = QStringLiteral("cannot read the lock file");
        return QuitOutcome::NoAnswer;
    }
    if (!sendWord(QuitWord)) {
        m_error = QStringLiteral("the running instance does not answer");
        return QuitOutcome::NoAnswer;
    }
    // The instance holds the lock until it has stopped its server and ended.
    if (!m_lock.tryLock(waitMs))
        return QuitOutcome::StillRunning;
    m_lock.unlock();
    return QuitOutcome::Gone;
}
