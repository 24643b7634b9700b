#include "server_process.h"
#include "group_guard.h"

#include "platform/native_names.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
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
    int step; // 0: entering the working folder, 1: executing the program
    int error;
};

[[noreturn]] void failInChild(int reportFd, int step)
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
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int ServerProcess::openProcessDescriptor(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

ServerProcess::ServerProcess(QObject* parent, DescriptorOpener openDescriptor)
    : QObject(parent), m_openDescriptor(openDescriptor)
{}

ServerProcess::~ServerProcess()
{
    // Gone before the forced kill was due (the application quits): the guard does it. The
    // server is not reaped yet, so its group id is still reserved and the members found are
    // surely its own.
    if (m_forcedKillDue && isRunning()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *m_forcedKillDue - std::chrono::steady_clock::now());
        killAfterDelay(openGroupMembers(m_pid), std::max(left, std::chrono::milliseconds(0)), m_pid,
                       m_pidFd >= 0 ? ::fcntl(m_pidFd, F_DUPFD_CLOEXEC, 0) : -1);
    }
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

Expected<void> ServerProcess::start(const ServerLaunch& launch)
{
    const QByteArray program = encodeNativeName(launch.program);
    const QByteArray folder = encodeNativeName(launch.workingFolder);
    QList<QByteArray> arguments{program};
    for (const QString& argument : launch.arguments)
        arguments.append(encodeNativeName(argument));
    QList<QByteArray> variables;
    const QStringList keys = launch.environment.keys();
    for (const QString& key : keys)
        variables.append(encodeEnvironmentName(key) + '=' +
                         encodeNativeName(launch.environment.value(key)));
    CStrings argv(arguments);
    CStrings envp(variables);

    // An ignored SIGCHLD (inherited from whoever started us) makes the system discard the
    // child's status, so a crash would read as a clean exit: the default lets us collect it.
    struct sigaction childSignal = {};
    if (::sigaction(SIGCHLD, nullptr, &childSignal) == 0 && childSignal.sa_handler == SIG_IGN) {
        childSignal.sa_handler = SIG_DFL;
        childSignal.sa_flags &= ~SA_NOCLDWAIT;
        ::sigaction(SIGCHLD, &childSignal, nullptr);
    }

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return FileError{QString::fromLocal8Bit(std::strerror(errno))};

    // Forked by hand, not posix_spawn: the death signal must be set in the child itself before
    // exec, and posix_spawn runs nothing of ours there. A guard process sending it instead could
    // itself be killed, would miss an application that dies before the guard holds the server,
    // and without process descriptors could only signal an id recycled meanwhile.
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return FileError{QString::fromLocal8Bit(std::strerror(error))};
    }
    if (pid == 0) {
        // The child: its own session and process group, so that a forced stop can reach every
        // helper it starts, and no signal meant for the application's terminal reaches it.
        ::setsid();
        // SIGTERM when the application dies, however it dies. Had it died already, before this
        // call, the child has been handed to another parent: it must not start at all.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        struct sigaction defaults = {};
        defaults.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (launch.outputFd >= 0) {
            ::dup2(launch.outputFd, STDOUT_FILENO);
            ::dup2(launch.outputFd, STDERR_FILENO);
        }
        markDescriptorsCloseOnExec();
        if (::chdir(folder.constData()) != 0)
            failInChild(report[1], 0);
        ::execve(program.constData(), argv.data(), envp.data());
        failInChild(report[1], 1);
    }

    ::close(report[1]);
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        collect(pid); // the child ends at once
        const QString reason = QString::fromLocal8Bit(std::strerror(failure.error));
        return FileError{
            failure.step == 0
                ? QStringLiteral("cannot enter the folder %1: %2").arg(launch.workingFolder, reason)
                : QStringLiteral("cannot run %1: %2").arg(launch.program, reason)};
    }

    // The child cannot be reaped before we wait for it, so the descriptor is surely of our child.
    m_pidFd = m_openDescriptor(pid);
    const int error = m_pidFd < 0 ? errno : 0;
    // Refused outright (a kernel before 5.3, a seccomp filter), the child is watched without
    // one; any other failure ends the launch.
    if (m_pidFd < 0 && error != ENOSYS && error != EPERM) {
        ::kill(-pid, SIGKILL);
        collect(pid);
        return FileError{QStringLiteral("cannot watch the server process: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(error)))};
    }
    m_pid = pid;
    m_forcedKillDelay = launch.forcedKillDelay;
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
    const bool collectable = info.si_pid == m_pid;
    if (collectable)
        endLeftovers();
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(m_pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
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

// Helpers the server left in its group hold ports and files: SIGTERM now, SIGKILL after the
// delay, by a guard that outlives the application if need be. Called while the ended leader is
// not yet collected, so the group id cannot belong to anyone else.
void ServerProcess::endLeftovers()
{
    std::vector<int> left = openGroupMembers(m_pid);
    // Without process descriptors no member can be seen or held, but SIGTERM still reaches them.
    if (left.empty() && m_pidFd >= 0)
        return;
    ::kill(-m_pid, SIGTERM);
    killAfterDelay(std::move(left), m_forcedKillDelay);
}

void ServerProcess::terminate()
{
    if (isRunning())
        ::kill(m_pid, SIGTERM);
}

void ServerProcess::killGroup()
{
    if (isRunning())
        ::kill(-m_pid, SIGKILL);
}

void ServerProcess::killGroupAfterDelay()
{
    if (!isRunning() || m_forcedKillDue)
        return; // the first stop's kill stays due at its time
    m_forcedKillDue = std::chrono::steady_clock::now() + m_forcedKillDelay;
    // On the process object, so it dies with it; on the main thread, where the process is
    // reaped, so an ended process is never signalled.
    QTimer::singleShot(m_forcedKillDelay, this, [this] { killGroup(); });
}
