#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1};   // [1] written by the handler, [0] read on the context's thread

void OnTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    // Only the first signal is ours to handle: the next one takes the default action.
    std::signal(signalNumber, SIG_DFL);
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool CatchTerminationSignals(QObject *context, std::function<void()> onSignal)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, onSignal = std::move(onSignal)] {
        char bytes[16];
        while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
        }
        notifier->setEnabled(false);   // once per run
        onSignal();
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : SIGNALS)
        ::sigaction(signalNumber, &action, nullptr);
    return true;
}
