#include "app/program.hpp"

#include <cstdio>
#include <exception>
#include <memory>
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
    std::unique_ptr<TerminalConsole> terminal = TerminalConsole::open(reason);
    if (terminal == nullptr) {
        std::fprintf(stderr, "cartrivex: %s\n", reason.c_str());
        return 1;
    }
    installSignalGuard();

    ConsoleDevice device;
    device.backend = terminal.get();
    int exitCode = 1;
    try {
        exitCode = runJob(device, coefficients, defaultThreadCount());
    } catch (const std::exception& failure) {
        terminal.reset();
        std::fprintf(stderr, "cartrivex: %s\n", failure.what());
        return 1;
    }
    terminal.reset();
    return exitCode;
}
