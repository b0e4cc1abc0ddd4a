#pragma once

// Runs of `cartrivex-cli render` with the disc the tests play (expected_renders.hpp).

#include <string>
#include <vector>

#include "tests/support/expected_renders.hpp"
#include "tests/support/process_run.hpp"

inline const std::vector<std::string> kDiscArguments = {"--rpm",       "33",   "--radius", "65",
                                                        "--amplitude", "0.05", "--angle",  "4"};

// `cartrivex-cli render INPUT OUTPUT` with the disc above and `extra`.
inline ProcessResult renderRun(const std::string& input, const std::string& output,
                               const std::vector<std::string>& extra = {},
                               const ProcessOptions& options = {}) {
    std::vector<std::string> arguments = {CARTRIVEX_CLI, "render", input, output};
    arguments.insert(arguments.end(), kDiscArguments.begin(), kDiscArguments.end());
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runProcess(arguments, options);
}
