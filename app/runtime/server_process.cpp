#include "server_process.h"

#include "platform/native_names.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int pidfdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

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

ServerProcess::ServerProcess(QObject* parent) : QObject(parent) {}

ServerProcess::~ServerProcess()
{
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

std::optional<QString> ServerProcess::start(const ServerLaunch& launch)
{
    const QByteArray program = encodeNativeName(launch.program);
    const QByteArray folder = encodeNativeName(launch.workingFolder);
    QList<QByteArray> arguments{program};
    for (const QString& argument : launch.arguments)
        arguments.append(encodeNativeName(argument));
    QList<QByteArray> variables;
    const QStringList keys = launch.environment.keys();
    for (const QString& key : keys)
        variables.append(encodeNativeName(key + QLatin1Char('=') + launch.environment.value(key)));
    CStrings argv(arguments);
    CStrings envp(variables);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return QString::fromLocal8Bit(std::strerror(error));
    }
    if (pid == 0) {
        // The child: its own session and process group, so that a forced stop can reach every
        // helper it starts, and no signal meant for the application's terminal reaches it.
        ::setsid();
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
        return failure.step == 0 ? QStringLiteral("cannot enter the folder %1: %2")
                                       .arg(launch.workingFolder, reason)
                                 : QStringLiteral("cannot run %1: %2").arg(launch.program, reason);
    }

    // The child cannot be reaped before we wait for it, so the descriptor is surely of our child.
    m_pidFd = pidfdOpen(pid);
    if (m_pidFd < 0) {
        const int error = errno;
        ::kill(-pid, SIGKILL);
        collect(pid);
        return QStringLiteral("cannot watch the server process: %1")
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    m_pid = pid;
    m_notifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ServerProcess::reap);
    return std::nullopt;
}

void ServerProcess::reap()
{
    if (m_reaped)
        return;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(m_pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0)
        return;
    m_reaped = true;
    m_notifier->setEnabled(false);
    const int code = done < 0 ? 0 : WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    emit finished(code);
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
