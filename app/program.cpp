#include "app/program.hpp"

#include <cstdio>
#include <exception>
#include <string>

#include "app/job.hpp"
#include "app/signal_guard.hpp"
#include "console/terminal_backend.hpp"
#include "dsp/coefficient_set.hpp"
#include "dsp/worker_pool.hpp"

int runProgram() {
    CoefficientSet coefficients;
    std::string message;
    if (!loadCoefficientSet(programDirectory(), coefficients, message)) {
        std::fprintf(stderr, "cartrivex: cannot start: %s\n", message.c_str());
        return 1;
    }

    std::string reason;
    TerminalConsole* terminal = openTerminal(reason);
    if (terminal == nullptr) {
        std::fprintf(stderr, "cartrivex: %s\n", reason.c_str());
        return 1;
    }
    installSignalGuard();

    ConsoleDevice device;
    device.terminal = terminal;
    int exitCode = 1;
    try {
        exitCode = runJob(device, coefficients, defaultThreadCount());
    } catch (const std::exception& failure) {
        closeTerminal(terminal);
        std::fprintf(stderr, "cartrivex: %s\n", failure.what());
        return 1;
    }
    closeTerminal(terminal);
    return exitCode;
}
