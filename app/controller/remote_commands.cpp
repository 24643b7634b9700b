#include "controller/remote_commands.h"

#include "base/product.h"
#include "controller/app_delegate.h"
#include "controller/menu_appearance.h"

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
// The kinds of state as the status answer names them, in the order of ServerState::Case.
const QString KindNames[] = {QStringLiteral("failed"), QStringLiteral("starting"),
                             QStringLiteral("running"), QStringLiteral("stopped")};

QString notOurs(const TarvessaAudioServerAppDelegate& controller, const char* verb)
{
    return QStringLiteral("The server on port %1 was not started by this app, so %2 cannot %3 it.")
        .arg(controller.serverPort)
        .arg(displayName(), QLatin1String(verb));
}
// A command's exit status when no instance runs: systemctl's for a unit it does not know.
constexpr int NotRunningStatus = 4;
// The options as typed, in the order of SingleInstance::Command.
const char* const OptionNames[] = {"--status", "--start", "--stop", "--restart", "--open"};

// The action follows the answer: an alert it shows (a start that fails at once) would otherwise
// keep the launch that asked waiting, and the request's connection open, until it is closed.
void later(TarvessaAudioServerAppDelegate& controller, std::function<void()> action)
{
    QTimer::singleShot(0, &controller, std::move(action));
}
} // namespace

SingleInstance::Answer answerCommand(TarvessaAudioServerAppDelegate& controller,
                                     SingleInstance::Command command)
{
    using Command = SingleInstance::Command;
    const bool external =
        controller.serverState.kind() == ServerState::Case::running && !controller.serverProcess;
    switch (command) {
    case Command::Status:
        return {true,
                KindNames[static_cast<int>(controller.serverState.kind())] + QLatin1Char(' ') +
                    controller.serverURL.toString() + QLatin1Char(' ') +
                    menuAppearanceFor(controller.serverState, controller.serverProcess != nullptr)
                        .statusTitle};
    case Command::Start:
        // "Start Server" is offered only while no server runs; one that runs is left as it is.
        if (!external && !controller.serverProcess)
            later(controller, [&controller] { controller.startServer(false); });
        return {};
    case Command::Stop:
        if (external)
            return {false, notOurs(controller, "stop")};
        later(controller, [&controller] { controller.stopOwnedServer(); });
        return {};
    case Command::Restart:
        if (external)
            return {false, notOurs(controller, "restart")};
        later(controller, [&controller] { controller.restartServer(); });
        return {};
    case Command::Open:
        later(controller, [&controller] { controller.openWebInterface(); });
        return {};
    }
    return {false, QStringLiteral("unknown command")};
}

StatusReport statusReport(const QString& answer)
{
    const QString kind = answer.section(QLatin1Char(' '), 0, 0);
    const QString address = answer.section(QLatin1Char(' '), 1, 1);
    const QString title = answer.section(QLatin1Char(' '), 2);
    const auto known = std::find(std::begin(KindNames), std::end(KindNames), kind);
    if (known == std::end(KindNames) || address.isEmpty())
        return {};
    const auto state = static_cast<ServerState::Case>(known - std::begin(KindNames));
    const int exitStatus = state == ServerState::Case::running  ? 0
                           : state == ServerState::Case::failed ? 1
                                                                : 3;
    return {(title + QLatin1Char('\n') + address + QLatin1Char('\n')).toLocal8Bit(), exitStatus};
}

std::optional<int> askRunningInstance(SingleInstance& instance, SingleInstance::Command command)
{
    using Command = SingleInstance::Command;
    const char* const option = OptionNames[static_cast<int>(command)];
    QString text;
    switch (instance.requestCommand(command, &text)) {
    case SingleInstance::CommandOutcome::Done:
        if (command == Command::Status) {
            const StatusReport report = statusReport(text);
            if (report.output.isEmpty())
                std::fprintf(stderr, "%s: --status: unreadable answer %s\n", DisplayName,
                             qPrintable(text));
            std::fputs(report.output.constData(), stdout);
            return report.exitStatus;
        }
        return 0;
    case SingleInstance::CommandOutcome::Refused:
        std::fprintf(stderr, "%s: %s: %s\n", DisplayName, option, qPrintable(text));
        return 1;
    case SingleInstance::CommandOutcome::NoneRunning:
        if (command == Command::Open || command == Command::Start)
            return std::nullopt;
        std::fprintf(stderr, "%s: %s: it is not running\n", DisplayName, option);
        return NotRunningStatus;
    case SingleInstance::CommandOutcome::NoAnswer:
        break;
    }
    std::fprintf(stderr, "%s: %s: %s\n", DisplayName, option, qPrintable(instance.errorText()));
    return 1;
}
