#pragma once

#include <chrono>
#include <cstdint>

// The server's guard: a small process that the server's child forks for itself before it
// executes the server, so that the guard is a member of the server's own process group and
// keeps that group's id from being anyone else's for as long as it lives. It holds one end of
// a socket whose other end only the application holds: the application tells it through the
// socket when it has sent the server SIGTERM and when the forced kill is due, and the end of
// the application, however it ends, closes the socket.
//
// What the guard does, whichever way the application goes (a quit, a crash, a SIGKILL):
// - the application gone with no stop asked: the server gets SIGTERM, once;
// - the forced kill due (the delay after the stop, or after the application's end): whatever
//   remains of the group, the guard with it, gets SIGKILL;
// - the server ended with helpers left in its group: they get SIGTERM, and SIGKILL after the
//   delay (or at the forced kill already due, if sooner);
// - nothing of the group left but itself: it ends.
// It ignores every signal it can, so a server that signals its own group does not end it.

// What the application tells its guard, one notice per message: the server has had its
// SIGTERM, and, unless 0, the time on the monotonic clock (CLOCK_MONOTONIC, in nanoseconds)
// when the forced kill is due.
struct GuardNotice
{
    std::int64_t forcedKillDueNs = 0;
};

std::int64_t monotonicNowNs();

// "/proc/<pid>/stat" in `path`, made without allocating, as the guard must.
void procStatPath(long pid, char (&path)[32]);

// Runs the guard in the calling process, a child of the server's child before its exec: system
// calls only, no allocation. `lifeline` is the guard's end of the socket; `serverFd` a process
// descriptor of the server, or -1 where they are refused (the server's end is then seen as the
// guard's parent changing).
[[noreturn]] void runServerGuard(int lifeline, int serverFd, std::chrono::milliseconds delay);
