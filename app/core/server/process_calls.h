#pragma once

#include <cerrno>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// A descriptor of process `pid` that becomes readable when it ends (pidfd_open, Linux 5.3), or
// -1 with errno set. Safe between fork and exec.
inline int openPidFd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// waitpid, asked again when a signal interrupts it.
inline pid_t waitForChild(pid_t pid, int* status, int options)
{
    pid_t done;
    do {
        done = ::waitpid(pid, status, options);
    } while (done < 0 && errno == EINTR);
    return done;
}
