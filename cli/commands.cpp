#include "cli/commands.hpp"

#include <cstdio>
#include <iostream>

void usageError(const std::string& message) {
    throw CommandError(kExitUsageError, message);
}

void fileError(const std::string& message) {
    throw CommandError(kExitFileError, message);
}

void finishStandardOutput() {
    std::fflush(stdout);
    if (std::ferror(stdout) || !std::cout) {
        fileError("cannot write to the standard output");
    }
}
