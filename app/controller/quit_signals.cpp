#include "quit_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The signal handler can reach nothing but this descriptor.
int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            emit quitRequested(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

QuitSignals::~QuitSignals()
{
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &defaults, nullptr);
    for (int& fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}
