#pragma once

#include "base/file_error.h"
#include "server/process_calls.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <optional>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

// What a launch needs: the program, its arguments, its working folder, its whole environment
// and the one descriptor that becomes both its standard output and standard error.
struct ServerLaunch
{
    QString program;
    QStringList arguments;
    QString workingFolder;
    QProcessEnvironment environment;
    int outputFd = -1;
    // How long a stopped server, or a helper it leaves behind, has before SIGKILL.
    std::chrono::milliseconds forcedKillDelay{12000};
};

// A child process in a process group of its own, watched through a process descriptor so that
// its end arrives as an event on the main thread (where the system refuses process descriptors,
// its end is asked for at a short interval instead). Unlike QProcess, destroying the object never
// kills the child: a server asked to stop at quit finishes its shutdown after we have gone.
// Each server comes with its guard (group_guard.h), a process in its group that outlives the
// application: it sends the server its SIGTERM when the application dies, does the forced kill
// when it is due whether the application is still there or not, and ends the helpers left in the
// group after the server. Only when the guard has gone (killed from outside) does this object do
// the forced kill itself, before it is destroyed.
class ServerProcess : public QObject
{
    Q_OBJECT

public:
    static constexpr int UnknownStatus = -1;
    static constexpr std::chrono::milliseconds EndPollInterval{200};
    // How long a server killed as the application goes may take to die.
    static constexpr std::int64_t KilledEndWaitNs = 2'000'000'000;

    // Opens a process descriptor of `pid`, or returns -1 with errno set.
    using DescriptorOpener = int (*)(pid_t pid);

    explicit ServerProcess(QObject* parent = nullptr, DescriptorOpener openDescriptor = openPidFd);
    ~ServerProcess() override;

    // Starts the child; fails with the system's description of why it could not run (a
    // runtime that cannot be executed, a working folder that cannot be entered), and then no
    // child exists.
    Expected<void> start(const ServerLaunch& launch);

    // Launched and not yet reaped. Only this object reaps the child, on the main thread, so
    // while this is true the process id is still ours and cannot have been recycled.
    bool isRunning() const { return m_pid > 0 && !m_reaped; }
    qint64 processId() const { return m_pid; }

    // SIGTERM to the server alone, so it can stop its helpers in order; once, so that nothing
    // interrupts the shutdown it begins.
    void terminate();
    void killGroup(); // SIGKILL to the server's whole process group
    // SIGKILL to whatever remains of the whole group after the forced-kill delay, by the guard.
    void killGroupAfterDelay();

signals:
    // The exit code, or the number of the signal that ended the process, or UnknownStatus
    // when its end could not be collected; emitted once.
    void finished(int status);

private:
    Expected<void> watch(pid_t pid, int guardFd);
    void reap();
    bool tellGuard(std::int64_t forcedKillDueNs);
    bool guardIsThere() const;
    void killWithoutGuard();
    bool awaitEnd(std::int64_t deadlineNs);

    pid_t m_pid = -1;
    std::chrono::milliseconds m_forcedKillDelay{12000};
    std::optional<std::int64_t> m_forcedKillDueNs; // on the monotonic clock
    bool m_terminated = false;
    DescriptorOpener m_openDescriptor;
    int m_pidFd = -1;
    int m_guard = -1; // our end of the guard's socket
    bool m_reaped = false;
    QSocketNotifier* m_notifier = nullptr; // with a process descriptor
    QTimer* m_endPoll = nullptr;           // without one
};
