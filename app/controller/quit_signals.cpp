#include "controller/quit_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// The signal handler can reach nothing but these: one counter the main thread is woken by, and
// the last signal's number.
int signalCounter = -1;
volatile sig_atomic_t lastSignal = 0;

void onSignal(int number)
{
    const int saved = errno;
    lastSignal = number;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(signalCounter, &one, sizeof one);
    errno = saved;
}
} // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent)
{
    signalCounter = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalCounter < 0)
        return;
    m_notifier = new QSocketNotifier(signalCounter, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        uint64_t count = 0;
        if (::read(signalCounter, &count, sizeof count) == sizeof count)
            emit quitRequested(lastSignal);
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
    if (signalCounter >= 0)
        ::close(signalCounter);
    signalCounter = -1;
}
