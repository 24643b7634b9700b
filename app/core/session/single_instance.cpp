#include "session/single_instance.h"
#include "base/product.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

namespace {
const QByteArray ReopenWord = "reopen\n";
const QByteArray QuitWord = "quit\n";
// The commands' words, in the order of SingleInstance::Command.
const QByteArray CommandWords[] = {"status\n", "start\n", "stop\n", "restart\n", ReopenWord};
// An answer is "ok" or "no", then a space and its text when it has one: a status, a failure.
constexpr qint64 LongestAnswer = 4096;

// A client of another user is not served: the socket's folder is private, and this holds even
// where it is not.
bool sameUser(const QLocalSocket& client)
{
    struct ucred peer = {};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(client.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                        &size) == 0 &&
           peer.uid == ::geteuid();
}
} // namespace

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent),
      m_socketPath(folder + QLatin1Char('/') + applicationId() + QStringLiteral(".socket")),
      m_lock(folder + QLatin1Char('/') + applicationId() + QStringLiteral(".lock"))
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
            if (m_clients >= m_limits.mostConnections || !sameUser(*client)) {
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
                answer(client, client->readLine(m_limits.longestRequest));
                client->disconnectFromServer();
            });
        }
    });
    return Outcome::Primary;
}

void SingleInstance::answer(QLocalSocket* client, const QByteArray& word)
{
    if (word == ReopenWord || word == QuitWord) {
        client->write("ok\n");
        client->flush();
        if (word == ReopenWord)
            emit reopenRequested();
        else
            emit quitRequested();
        return;
    }
    const auto* known = std::find(std::begin(CommandWords), std::end(CommandWords), word);
    if (known == std::end(CommandWords) || !m_handler)
        return;
    const Answer said = m_handler(static_cast<Command>(known - std::begin(CommandWords)));
    QByteArray line = said.done ? "ok" : "no";
    if (!said.text.isEmpty())
        line += ' ' + said.text.simplified().toUtf8().left(LongestAnswer - 8);
    client->write(line + '\n');
    client->flush();
}

QByteArray SingleInstance::ask(const QByteArray& word)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(m_limits.answerTimeoutMs))
        return {};
    socket.write(word);
    if (!socket.waitForBytesWritten(m_limits.answerTimeoutMs))
        return {};
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() >= LongestAnswer ||
            !socket.waitForReadyRead(m_limits.answerTimeoutMs))
            return {};
    }
    return socket.readLine(LongestAnswer);
}

bool SingleInstance::sendWord(const QByteArray& word)
{
    return ask(word) == "ok\n";
}

SingleInstance::CommandOutcome SingleInstance::requestCommand(Command command, QString* text)
{
    if (m_lock.tryLock(0)) {
        m_lock.unlock();
        return CommandOutcome::NoneRunning;
    }
    if (m_lock.error() != QLockFile::LockFailedError) {
        m_error = QStringLiteral("cannot read the lock file");
        return CommandOutcome::NoAnswer;
    }
    const QByteArray line = ask(CommandWords[static_cast<int>(command)]);
    const bool done = line == "ok\n" || line.startsWith("ok "),
               refused = line == "no\n" || line.startsWith("no ");
    if (!line.endsWith('\n') || (!done && !refused)) {
        m_error = QStringLiteral("the running instance does not answer");
        return CommandOutcome::NoAnswer;
    }
    *text = QString::fromUtf8(line.mid(3).chopped(line.size() > 3 ? 1 : 0));
    return done ? CommandOutcome::Done : CommandOutcome::Refused;
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
