#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

// One running application per user. The first launch holds a lock file and listens on a local
// socket beside it; a later launch asks it to reopen (show the web interface) and exits, or, with
// --quit, asks it to quit.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // folder: a private folder of the user's ($XDG_RUNTIME_DIR).
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Outcome
    {
        Primary,     // this process is the one instance and now listens for reopen requests
        ReopenSent,  // another instance runs and has been asked to reopen
        Unavailable, // neither could be arranged; run all the same, without the guard
    };
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

signals:
    void reopenRequested();
    void quitRequested();

private:
    bool sendWord(const QByteArray& word);

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
    QString m_error;
};
