#include "single_instance.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr auto BaseName = "io.tarvessa.tarvessa-audio-server";
const QByteArray ReopenWord = "reopen\n";
const QByteArray QuitWord = "quit\n";
constexpr int AnswerTimeoutMs = 3000;
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
        // A holder that does not answer: it may be starting up; try once more, then give way.
        if (m_lock.error() == QLockFile::LockFailedError &&
            m_lock.tryLock(AnswerTimeoutMs) == false) {
            if (sendWord(ReopenWord))
                return Outcome::ReopenSent;
            m_error = QStringLiteral("another instance holds the lock but does not answer");
            return Outcome::Unavailable;
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
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine())
                    return;
                const QByteArray word = client->readLine(64);
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
    if (!socket.waitForConnected(AnswerTimeoutMs))
        return false;
    socket.write(word);
    if (!socket.waitForBytesWritten(AnswerTimeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(AnswerTimeoutMs))
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
