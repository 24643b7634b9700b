#pragma once

#include "session/single_instance.h"

#include <QByteArray>
#include <QString>
#include <optional>

class TarvessaAudioServerAppDelegate;

// The running instance's side of --status, --start, --stop, --restart and --open: each does what
// the menu's entry of its name does, once the answer has gone. A stop or restart of a server this
// application did not start is refused, as the menu offers neither for it. The status is the kind
// of state, the address and the status line.
SingleInstance::Answer answerCommand(TarvessaAudioServerAppDelegate& controller,
                                     SingleInstance::Command command);

// The command line's side: asks the running instance, prints what was asked for on standard
// output and what went wrong on standard error, and returns the exit status; none when no
// instance runs and the command is one a launch answers (--open, --start).
std::optional<int> askRunningInstance(SingleInstance& instance, SingleInstance::Command command);

// --status: the status line and the address, one a line, and the exit status systemctl would
// give (0 running, ours or external; 1 failed; 3 stopped or starting). An answer it cannot read
// gives exit status 1 and nothing to print.
struct StatusReport
{
    QByteArray output;
    int exitStatus = 1;
};
StatusReport statusReport(const QString& answer);
