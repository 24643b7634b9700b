#include "server/server_process.h"
#include "server/group_guard.h"
#include "server/process_calls.h"

#include "base/native_names.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Holds argv or envp for execve: built before fork, because the child may only make
// async-signal-safe calls.
class CStrings
{
public:
    explicit CStrings(const QList<QByteArray>& items) : m_items(items)
    {
        for (const QByteArray& item : m_items)
            m_pointers.push_back(const_cast<char*>(item.constData()));
        m_pointers.push_back(nullptr);
    }
    char** data() { return m_pointers.data(); }

private:
    QList<QByteArray> m_items;
    std::vector<char*> m_pointers;
};

// The child's report of a failure before exec: which step, and errno.
struct ChildFailure
{
    enum Step
    {
        EnteringFolder,
        Executing,
        StartingGuard
    } step;
    int error;
};

[[noreturn]] void failInChild(int reportFd, ChildFailure::Step step)
{
    const ChildFailure failure{step, errno};
    [[maybe_unused]] ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
    ::_exit(127);
}

void markDescriptorsCloseOnExec()
{
    // Nothing of the application but the log reaches the server.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (limit > 0 ? limit : 1024); ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void collect(pid_t child)
{
    waitForChild(child, nullptr, 0);
}

// The program, its arguments and its environment as execve takes them, encoded byte for byte.
struct ExecArrays
{
    QByteArray program;
    QByteArray folder;
    CStrings argv;
    CStrings envp;
};

ExecArrays execArraysOf(const ServerLaunch& launch)
{
    const QByteArray program = encodeNativeName(launch.program);
    QList<QByteArray> arguments{program};
    for (const QString& argument : launch.arguments)
        arguments.append(encodeNativeName(argument));
    QList<QByteArray> variables;
    const QStringList keys = launch.environment.keys();
    for (const QString& key : keys)
        variables.append(encodeEnvironmentName(key) + '=' +
                         encodeNativeName(launch.environment.value(key)));
    return {program, encodeNativeName(launch.workingFolder), CStrings(arguments),
            CStrings(variables)};
}

// An ignored SIGCHLD (inherited from whoever started us) makes the system discard the child's
// status, so a crash would read as a clean exit: the default lets us collect it.
void keepChildStatuses()
{
    struct sigaction childSignal = {};
    if (::sigaction(SIGCHLD, nullptr, &childSignal) == 0 && childSignal.sa_handler == SIG_IGN) {
        childSignal.sa_handler = SIG_DFL;
        childSignal.sa_flags &= ~SA_NOCLDWAIT;
        ::sigaction(SIGCHLD, &childSignal, nullptr);
    }
}

// What the child needs between fork and exec, all made before the fork.
struct ChildSetup
{
    ExecArrays& exec;
    int reportFd; // written to only when a step before exec fails
    int guardFd;  // the guard's end of its socket
    int outputFd; // the log, or -1
    ServerProcess::DescriptorOpener openDescriptor;
    std::chrono::milliseconds forcedKillDelay;
};

// The child: async-signal-safe calls only, then exec.
[[noreturn]] void runChild(const ChildSetup& setup)
{
    // Its own session and process group, so that a forced stop can reach every helper it starts,
    // and no signal meant for the application's terminal reaches it.
    ::setsid();
    // Our handlers would act for the application: until exec, a signal does to the child what it
    // would do to the server.
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current = {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            ::sigaction(signal, &defaults, nullptr);
    }
    ::sigaction(SIGPIPE, &defaults, nullptr);
    // The guard, forked in the new group, where it keeps the group's id ours. Had the
    // application died already, the guard finds the socket closed and ends the child.
    const int self = setup.openDescriptor(::getpid());
    const pid_t guardPid = ::fork();
    if (guardPid < 0)
        failInChild(setup.reportFd, ChildFailure::StartingGuard);
    if (guardPid == 0)
        runServerGuard(setup.guardFd, self, setup.forcedKillDelay);
    if (self >= 0)
        ::close(self);
    ::close(setup.guardFd);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setup.outputFd >= 0) {
        ::dup2(setup.outputFd, STDOUT_FILENO);
        ::dup2(setup.outputFd, STDERR_FILENO);
    }
    markDescriptorsCloseOnExec();
    if (::chdir(setup.exec.folder.constData()) != 0)
        failInChild(setup.reportFd, ChildFailure::EnteringFolder);
    ::execve(setup.exec.program.constData(), setup.exec.argv.data(), setup.exec.envp.data());
    failInChild(setup.reportFd, ChildFailure::Executing);
}

// Reads the child's report to its end, which exec closes: a failure before exec, or none.
std::optional<FileError> failureReported(int reportFd, const ServerLaunch& launch)
{
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(reportFd, &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(reportFd);
    if (got != static_cast<ssize_t>(sizeof failure))
        return std::nullopt;
    const QString reason = QString::fromLocal8Bit(std::strerror(failure.error));
    switch (failure.step) {
    case ChildFailure::EnteringFolder:
        return FileError{
            QStringLiteral("cannot enter the folder %1: %2").arg(launch.workingFolder, reason)};
    case ChildFailure::Executing:
        return FileError{QStringLiteral("cannot run %1: %2").arg(launch.program, reason)};
    case ChildFailure::StartingGuard:
        break;
    }
    return FileError{QStringLiteral("cannot start the guard of the server: %1").arg(reason)};
}

} // namespace

ServerProcess::ServerProcess(QObject* parent, DescriptorOpener openDescriptor)
    : QObject(parent), m_openDescriptor(openDescriptor)
{}

ServerProcess::~ServerProcess()
{
    // Closing our end of the socket tells the guard that the application has gone: it sends
    // the SIGTERM if no stop did, and the forced kill when it is due.
    if (isRunning() && !guardIsThere())
        killWithoutGuard();
    if (m_guard >= 0)
        ::close(m_guard);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

Expected<void> ServerProcess::start(const ServerLaunch& launch)
{
    ExecArrays exec = execArraysOf(launch);
    keepChildStatuses();

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return FileError{QString::fromLocal8Bit(std::strerror(errno))};
    // The guard's socket: our end is held by the application alone, so that its end, however
    // it comes, closes the socket for the guard.
    int guard[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, guard) != 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return FileError{QString::fromLocal8Bit(std::strerror(error))};
    }

    // Forked by hand, not posix_spawn: the guard is forked by the child itself before exec, and
    // posix_spawn runs nothing of ours there.
    const ChildSetup setup{
        exec, report[1], guard[1], launch.outputFd, m_openDescriptor, launch.forcedKillDelay};
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        for (int fd : {report[0], report[1], guard[0], guard[1]})
            ::close(fd);
        return FileError{QString::fromLocal8Bit(std::strerror(error))};
    }
    if (pid == 0) {
        ::close(guard[0]);
        runChild(setup);
    }

    ::close(guard[1]);
    ::close(report[1]);
    if (std::optional<FileError> failure = failureReported(report[0], launch)) {
        ::close(guard[0]); // a guard that started ends with the child
        collect(pid);      // the child ends at once
        return *failure;
    }
    m_forcedKillDelay = launch.forcedKillDelay;
    return watch(pid, guard[0]);
}

// The child cannot be reaped before we wait for it, so the descriptor is surely of our child.
Expected<void> ServerProcess::watch(pid_t pid, int guardFd)
{
    m_pidFd = m_openDescriptor(pid);
    const int error = m_pidFd < 0 ? errno : 0;
    // Refused outright (a kernel before 5.3, a seccomp filter), the child is watched without
    // one; any other failure ends the launch.
    if (m_pidFd < 0 && error != ENOSYS && error != EPERM) {
        ::close(guardFd);
        ::kill(-pid, SIGKILL);
        collect(pid);
        return FileError{QStringLiteral("cannot watch the server process: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(error)))};
    }
    m_pid = pid;
    m_guard = guardFd;
    if (m_pidFd >= 0) {
        m_notifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ServerProcess::reap);
    } else {
        // Asking whether our own child has ended needs no descriptor and no SIGCHLD handler,
        // which would be the whole application's; reap() only looks until it has.
        m_endPoll = new QTimer(this);
        connect(m_endPoll, &QTimer::timeout, this, &ServerProcess::reap);
        m_endPoll->start(EndPollInterval);
    }
    return {};
}

void ServerProcess::reap()
{
    if (m_reaped)
        return;
    // Ended but not yet collected: its group id is still reserved for its helpers.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == 0)
        return; // not ended yet
    int status = 0;
    const pid_t done = waitForChild(m_pid, &status, WNOHANG);
    if (done == 0)
        return;
    m_reaped = true;
    if (m_notifier)
        m_notifier->setEnabled(false);
    if (m_endPoll)
        m_endPoll->stop();
    // A failed wait (someone else collected the child) tells nothing of how it ended: never a
    // clean exit.
    const int code = done < 0              ? UnknownStatus
                     : WIFSIGNALED(status) ? WTERMSIG(status)
                                           : WEXITSTATUS(status);
    emit finished(code);
}

// Told before the application goes, so the guard neither sends a second SIGTERM nor forgets
// the forced kill due. False when the guard is not there to be told.
bool ServerProcess::tellGuard(std::int64_t forcedKillDueNs)
{
    const GuardNotice notice{forcedKillDueNs};
    return m_guard >= 0 && ::send(m_guard, &notice, sizeof notice, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                               static_cast<ssize_t>(sizeof notice);
}

// The guard never writes: anything to read on our end is the guard's own end.
bool ServerProcess::guardIsThere() const
{
    pollfd gone{m_guard, POLLIN, 0};
    return m_guard >= 0 && ::poll(&gone, 1, 0) == 0;
}

void ServerProcess::terminate()
{
    if (!isRunning() || m_terminated)
        return;
    m_terminated = true;
    ::kill(m_pid, SIGTERM);
    tellGuard(0);
}

void ServerProcess::killGroup()
{
    if (isRunning())
        ::kill(-m_pid, SIGKILL);
}

void ServerProcess::killGroupAfterDelay()
{
    if (!isRunning() || m_forcedKillDueNs)
        return; // the first stop's kill stays due at its time
    m_forcedKillDueNs =
        monotonicNowNs() +
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_forcedKillDelay).count();
    if (tellGuard(*m_forcedKillDueNs))
        return;
    // Without its guard, on the process object, so it dies with it; on the main thread, where
    // the process is reaped, so an ended process is never signalled.
    QTimer::singleShot(m_forcedKillDelay, Qt::PreciseTimer, this, [this] { killGroup(); });
}

// The guard has gone (killed from outside): before the application goes, the server gets its
// SIGTERM if no stop sent one, and the forced kill when it is due, here. Not yet reaped, the
// server keeps its group's id ours meanwhile; killed, it is waited for a moment, so that it has
// gone before the application has.
void ServerProcess::killWithoutGuard()
{
    terminate();
    killGroupAfterDelay();
    if (awaitEnd(*m_forcedKillDueNs))
        return;
    killGroup();
    awaitEnd(monotonicNowNs() + KilledEndWaitNs);
}

// True once the server has ended (its helpers, if any, then get SIGTERM) or is no longer ours
// to wait for; false when `deadlineNs` came first.
bool ServerProcess::awaitEnd(std::int64_t deadlineNs)
{
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return true;
        if (info.si_pid == m_pid) {
            ::kill(-m_pid, SIGTERM); // helpers left behind, if any
            return true;
        }
        const std::int64_t left = deadlineNs - monotonicNowNs();
        if (left <= 0)
            return false;
        int waitMs = static_cast<int>(left / 1'000'000 + 1);
        pollfd ended{m_pidFd, POLLIN, 0};
        if (m_pidFd < 0)
            waitMs = std::min(waitMs, 50);
        ::poll(&ended, m_pidFd >= 0 ? 1 : 0, waitMs);
    }
}
