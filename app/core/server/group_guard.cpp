#include "server/group_guard.h"
#include "server/process_calls.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

// The guard is a child of a threaded process that never executes anything: system calls
// only, no allocation.
namespace {

constexpr int Lifeline = 3;
constexpr int Server = 4;
constexpr int MaxHeld = 16; // members held by a descriptor at once; more are looked at anew
constexpr std::int64_t LookAgainNs = 200'000'000;

// From /proc/<pid>/stat: its process group, 0 when it has ended (a zombie) or is not there.
pid_t liveGroupOf(long pid)
{
    char path[32];
    procStatPath(pid, path);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return 0;
    text[got] = '\0';
    // After the command's last closing parenthesis: state, parent, group.
    const char* field = std::strrchr(text, ')');
    if (!field || field[1] != ' ' || field[2] == 'Z' || field[2] == 'X')
        return 0;
    for (int skipped = 0; field && skipped < 3; ++skipped)
        field = std::strchr(field + 1, ' ');
    if (!field)
        return 0;
    long group = 0;
    for (++field; *field >= '0' && *field <= '9'; ++field)
        group = group * 10 + (*field - '0');
    return static_cast<pid_t>(group);
}

bool hasEnded(int pidFd)
{
    pollfd ended{pidFd, POLLIN, 0};
    return ::poll(&ended, 1, 0) != 0;
}

// The live members of the group but the guard. While the guard is one of them, the group's id
// is ours alone: every process found in it is one of the server's.
class Members
{
public:
    // Looks at /proc anew; false when nobody but the guard is left.
    bool lookAgain(pid_t group)
    {
        release();
        bool any = false;
        const pid_t self = ::getpid();
        const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc < 0) {
            m_unheld = true; // cannot look: assume someone is left, and look again soon
            return true;
        }
        alignas(8) char entries[4096];
        for (long got; (got = ::syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
            for (long at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                at += entry->d_reclen;
                long pid = 0;
                for (const char* c = entry->d_name; *c && pid >= 0; ++c)
                    pid = (*c >= '0' && *c <= '9') ? pid * 10 + (*c - '0') : -1;
                if (pid <= 0 || pid == self || liveGroupOf(pid) != group)
                    continue;
                any = true;
                const int fd = m_count < MaxHeld ? openPidFd(static_cast<pid_t>(pid)) : -1;
                // Alive after the second look, so the descriptor is of this very process.
                if (fd >= 0 && liveGroupOf(pid) == group && !hasEnded(fd))
                    m_held[m_count++] = fd;
                else if (fd >= 0)
                    ::close(fd);
                else
                    m_unheld = true;
            }
        }
        ::close(proc);
        return any;
    }
    // Someone held has ended (its descriptor would wake every wait from now on), or someone
    // could not be held: time to look again.
    bool lookAgainDue() const
    {
        for (int i = 0; i < m_count; ++i)
            if (hasEnded(m_held[i]))
                return true;
        return m_unheld || m_count == 0;
    }
    bool unheld() const { return m_unheld; }
    int addTo(pollfd* watched) const
    {
        for (int i = 0; i < m_count; ++i)
            watched[i] = {m_held[i], POLLIN, 0};
        return m_count;
    }

private:
    void release()
    {
        while (m_count > 0)
            ::close(m_held[--m_count]);
        m_unheld = false;
    }
    int m_held[MaxHeld] = {};
    int m_count = 0;
    bool m_unheld = false;
};

// Leaves the guard with its two descriptors at Lifeline and Server and /dev/null as its
// standard streams: nothing else of the application's stays open in it.
void keepOnly(int lifeline, int serverFd)
{
    const int high = 64;
    lifeline = ::fcntl(lifeline, F_DUPFD, high);
    serverFd = serverFd >= 0 ? ::fcntl(serverFd, F_DUPFD, high) : -1;
    ::dup2(lifeline, Lifeline);
    if (serverFd >= 0)
        ::dup2(serverFd, Server);
    ::syscall(SYS_close_range, static_cast<unsigned>(serverFd >= 0 ? Server + 1 : Server), ~0U, 0U);
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    if (null > Server)
        ::close(null);
}

} // namespace

void procStatPath(long pid, char (&path)[32])
{
    std::memcpy(path, "/proc/", 6);
    char digits[20];
    int n = 0;
    for (long rest = pid; rest > 0 && n < 19; rest /= 10)
        digits[n++] = static_cast<char>('0' + rest % 10);
    int at = 6;
    while (n > 0)
        path[at++] = digits[--n];
    std::memcpy(path + at, "/stat", 6);
}

std::int64_t monotonicNowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void runServerGuard(int lifeline, int serverFd, std::chrono::milliseconds delay)
{
    keepOnly(lifeline, serverFd);
    const int server = serverFd >= 0 ? Server : -1;
    ::prctl(PR_SET_NAME, "server guard");
    struct sigaction ignored = {};
    ignored.sa_handler = SIG_IGN;
    for (int signal = 1; signal < 32; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &ignored, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    [[maybe_unused]] const int left = ::chdir("/"); // holds no folder of the user's busy

    const pid_t group = ::getpgrp(); // the server's own id: it leads the group
    const std::int64_t delayNs = delay.count() * 1'000'000LL;
    bool applicationGone = false;
    bool serverEnded = false;
    bool terminated = false;
    std::int64_t due = -1;
    const auto dueBy = [&due](std::int64_t at) {
        if (due < 0 || at < due)
            due = at;
    };
    Members members;
    for (;;) {
        pollfd watched[2 + MaxHeld];
        int count = 0;
        if (!applicationGone)
            watched[count++] = {Lifeline, POLLIN, 0};
        if (!serverEnded && server >= 0)
            watched[count++] = {server, POLLIN, 0};
        if (serverEnded)
            count += members.addTo(watched + count);
        std::int64_t now = monotonicNowNs();
        std::int64_t wait = due < 0 ? -1 : (due > now ? due - now : 0);
        // Without a descriptor to wait on, the server's end or a member's is looked for.
        if (((!serverEnded && server < 0) || (serverEnded && members.unheld())) &&
            (wait < 0 || wait > LookAgainNs))
            wait = LookAgainNs;
        const timespec timeout{static_cast<time_t>(wait / 1'000'000'000),
                               static_cast<long>(wait % 1'000'000'000)};
        ::ppoll(watched, static_cast<nfds_t>(count), wait < 0 ? nullptr : &timeout, nullptr);
        now = monotonicNowNs();

        if (due >= 0 && now >= due) {
            // The whole group at once, the guard with it: the group's id is surely still ours.
            ::kill(-group, SIGKILL);
            ::_exit(0);
        }
        if (!serverEnded && (server >= 0 ? hasEnded(server) : ::getppid() != group)) {
            serverEnded = true;
            if (!members.lookAgain(group))
                ::_exit(0);
            ::kill(-group, SIGTERM); // its helpers; the guard ignores it
            dueBy(now + delayNs);
        } else if (serverEnded && members.lookAgainDue() && !members.lookAgain(group)) {
            ::_exit(0);
        }
        if (applicationGone)
            continue;
        GuardNotice notice;
        const ssize_t got = ::recv(Lifeline, &notice, sizeof notice, MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(sizeof notice)) {
            terminated = true;
            if (notice.forcedKillDueNs > 0)
                dueBy(notice.forcedKillDueNs);
        } else if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            // The application has gone, however it went.
            applicationGone = true;
            if (!serverEnded) {
                if (!terminated)
                    ::kill(group, SIGTERM); // the server alone, so it can stop its helpers
                terminated = true;
                dueBy(now + delayNs);
            }
        }
    }
}
