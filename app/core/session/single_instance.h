#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

// One running application per user. The first launch holds a lock file and listens on a local
// socket beside it; a later launch asks it to reopen (show the web interface) and exits, or, from
// the command line, asks it to quit or for one of the commands below. Only processes of the same
// user are served.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // folder: a private folder of the user's ($XDG_RUNTIME_DIR).
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Outcome
    {
        Primary,            // this process is the one instance and now listens for reopen requests
        ReopenSent,         // another instance runs and has been asked to reopen
        Unavailable,        // neither could be arranged; run all the same, without the guard
        HolderNotAnswering, // another instance holds the lock but does not answer: give up
    };
    // Any process of the user can connect: a request is one short line, a connection lives a
    // few seconds at most, and only a few are served at once, so that none can hoard memory or
    // descriptors. Tests shorten them.
    struct Limits
    {
        qint64 longestRequest = 16;
        int connectionLifetimeMs = 2000;
        int mostConnections = 4;
        int answerTimeoutMs = 3000; // for a reply from the instance that holds the lock
    };
    void setLimits(const Limits& limits) { m_limits = limits; } // before claim()
    Outcome claim();
    QString errorText() const { return m_error; }

    enum class QuitOutcome
    {
        Gone,        // the running instance was asked to quit and has ended
        NoneRunning, // no instance holds the lock
        NoAnswer,    // one holds it but did not take the request (errorText says why)
        StillRunning // it took the request but had not ended within the time allowed
    };
    // Never becomes the instance: a lock taken only to see that none runs is let go at once.
    QuitOutcome requestQuit(int waitMs);

    // What the command line asks of the running instance beside reopening and quitting.
    enum class Command
    {
        Status,
        Start,
        Stop,
        Restart,
        Open, // the same as a reopen
    };
    // The running instance's answer: done, with the text asked for, or refused, saying why. The
    // text is sent as one line.
    struct Answer
    {
        bool done = true;
        QString text;
    };
    // The instance's side: answers each command as it comes (none is answered before).
    void setCommandHandler(std::function<Answer(Command)> handler)
    {
        m_handler = std::move(handler);
    }
    enum class CommandOutcome
    {
        Done,        // the instance took it; text holds its answer
        Refused,     // the instance would not; text says why
        NoneRunning, // no instance holds the lock
        NoAnswer,    // one holds it but did not answer (errorText says why)
    };
    // The command line's side; never becomes the instance.
    CommandOutcome requestCommand(Command command, QString* text);

signals:
    void reopenRequested();
    void quitRequested();

private:
    bool sendWord(const QByteArray& word);
    QByteArray ask(const QByteArray& word); // the answer's line, empty when none came
    void answer(QLocalSocket* client, const QByteArray& word);

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
    QString m_error;
    Limits m_limits;
    int m_clients = 0; // connections being served
    std::function<Answer(Command)> m_handler;
};
