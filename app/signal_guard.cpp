#include "app/signal_guard.hpp"

#include <signal.h>

#include "console/terminal_backend.hpp"
#include "files/safe_output.hpp"

namespace {

constexpr int kGuardedSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGSEGV,
                                   SIGBUS,  SIGFPE, SIGILL, SIGABRT};

void onFatalSignal(int number) {
    SafeOutput::discardPending();
    restoreTerminalAfterSignal();
    // The handler was reset on entry: raising again ends the program the signal's own way.
    ::raise(number);
}

}  // namespace

void installSignalGuard() {
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int number : kGuardedSignals) {
        ::sigaction(number, &action, nullptr);
    }
    // An output pipe whose reader went away is a failed write, reported like any other; the
    // terminal itself reports a hang-up, not a broken pipe.
    ::signal(SIGPIPE, SIG_IGN);
}
