#pragma once

#include <chrono>
#include <sys/types.h>
#include <vector>

// Process descriptors of the processes in the process group `group`, the leader excluded. Only
// meaningful while the leader is alive or not yet reaped: until then no other group can have
// that id, so every process found is surely one of the server's. Each is checked again after
// its descriptor is opened, so a process id recycled during the scan is left out.
std::vector<int> openGroupMembers(pid_t group);

// Hands the descriptors to a detached guard process and closes them here: `delay` from now the
// guard sends SIGKILL to each process that is still there, even if the application has gone
// meanwhile, and ends as soon as all of them have ended. With `leaderFd` (the descriptor of
// the group's leader, also handed over) it first kills every member of `group`, also those
// started after this call, for as long as the leader is alive, which keeps the group's id from
// being anyone else's. Through process descriptors it never signals a process that reused one
// of their ids.
void killAfterDelay(std::vector<int> pidFds, std::chrono::milliseconds delay, pid_t group = -1,
                    int leaderFd = -1);
