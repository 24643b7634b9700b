#include "group_guard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Everything here but openGroupMembers() also runs in the guard, a child of a threaded
// process: system calls only, no allocation.
namespace {

// The process group field of /proc/<pid>/stat, or -1.
pid_t groupOf(long pid)
{
    char path[32] = "/proc/";
    char digits[20];
    int n = 0;
    for (long rest = pid; rest > 0 && n < 19; rest /= 10)
        digits[n++] = static_cast<char>('0' + rest % 10);
    int at = 6;
    while (n > 0)
        path[at++] = digits[--n];
    std::memcpy(path + at, "/stat", 6);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    // After the command's last closing parenthesis: state, parent, group.
    const char* field = std::strrchr(text, ')');
    for (int skipped = 0; field && skipped < 3; ++skipped)
        field = std::strchr(field + 1, ' ');
    if (!field)
        return -1;
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

int pidfdOpen(long pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Calls `found` with the descriptor of each live member of `group` but its leader, checked
// again after opening; while `stillReserved` holds after that check, the member is surely ours.
template <typename Found, typename Reserved>
void forEachMember(pid_t group, Reserved stillReserved, Found found)
{
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return;
    alignas(8) char entries[4096];
    for (long got; (got = ::syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            long pid = 0;
            for (const char* c = entry->d_name; *c && pid >= 0; ++c)
                pid = (*c >= '0' && *c <= '9') ? pid * 10 + (*c - '0') : -1;
            if (pid <= 0 || pid == group || groupOf(pid) != group)
                continue;
            const int fd = pidfdOpen(pid);
            if (fd < 0)
                continue;
            // Alive after the second look, so that look was at this very process.
            if (groupOf(pid) == group && !hasEnded(fd) && stillReserved())
                found(fd);
            else
                ::close(fd);
        }
    }
    ::close(proc);
}

long long nowMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void sendKill(int pidFd)
{
    ::syscall(SYS_pidfd_send_signal, pidFd, SIGKILL, nullptr, 0U);
}

} // namespace

std::vector<int> openGroupMembers(pid_t group)
{
    std::vector<int> members;
    forEachMember(
        group, [] { return true; }, [&](int fd) { members.push_back(fd); });
    return members;
}

void killAfterDelay(std::vector<int> pidFds, std::chrono::milliseconds delay, pid_t group,
                    int leaderFd)
{
    if (leaderFd >= 0)
        pidFds.push_back(leaderFd); // watched last, as the last to be killed
    if (pidFds.empty())
        return;
    // Everything the guard needs is prepared before the fork: after it, only system calls.
    const long long deadline = nowMs() + delay.count();
    std::vector<pollfd> watched;
    for (std::size_t i = 0; i < pidFds.size(); ++i)
        watched.push_back({static_cast<int>(3 + i), POLLIN, 0});
    const pid_t middle = ::fork();
    if (middle == 0) {
        // A session of its own, and a second fork so the guard is nobody's child here: it
        // neither waits for the application nor needs it to collect its end.
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        // Keep only the process descriptors, at 3, 4, ...: duplicated above that range first,
        // so that moving one never overwrites another.
        const int high = 3 + static_cast<int>(pidFds.size()) + 64;
        for (std::size_t i = 0; i < pidFds.size(); ++i)
            pidFds[i] = ::fcntl(pidFds[i], F_DUPFD, high);
        for (std::size_t i = 0; i < pidFds.size(); ++i)
            ::dup2(pidFds[i], static_cast<int>(3 + i));
        ::syscall(SYS_close_range, static_cast<unsigned>(3 + pidFds.size()), ~0U, 0U);
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(null, fd);
        std::size_t left = watched.size();
        for (long long now = nowMs(); left > 0 && now < deadline; now = nowMs()) {
            if (::poll(watched.data(), watched.size(), static_cast<int>(deadline - now)) < 0 &&
                errno != EINTR)
                break;
            for (pollfd& one : watched)
                if (one.fd >= 0 && one.revents != 0) {
                    one.fd = -1; // ended: poll ignores it from now on
                    --left;
                }
        }
        const int leader = watched.back().fd;
        if (leaderFd >= 0 && leader >= 0) {
            // The whole group while its leader lives: rounds until a round finds nobody alive,
            // since a member may start another before it is killed.
            for (int round = 0; round < 32; ++round) {
                bool any = false;
                forEachMember(
                    group, [leader] { return !hasEnded(leader); },
                    [&any](int fd) {
                        sendKill(fd);
                        ::close(fd);
                        any = true;
                    });
                if (!any)
                    break;
            }
        }
        for (const pollfd& one : watched)
            if (one.fd >= 0)
                sendKill(one.fd);
        ::_exit(0);
    }
    for (int fd : pidFds)
        ::close(fd);
    if (middle > 0)
        while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
}
