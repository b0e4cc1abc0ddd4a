#include "dsp/coefficient_set.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dsp/coefficient_file.hpp"

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> candidatePaths(const std::string& directory, const char* name) {
    std::vector<std::string> paths{name};
    if (!directory.empty()) {
        paths.push_back(directory + "/data/" + name);
        paths.push_back(directory + "/../share/cartrivex/" + name);
    }
    return paths;
}

// Reads each stage's file from the first of its candidate paths that exists; `folders` names the
// places looked in, for the message when none holds the file.
template <typename Candidates>
bool loadFirstFound(Candidates candidates, const std::string& folders, CoefficientSet& coefficients,
                    std::string& message) {
    for (std::size_t stage = 0; stage < kUpsampleStages.size(); ++stage) {
        const UpsampleStageDesign& table = kUpsampleStages[stage];
        const std::vector<std::string> paths = candidates(table.coefficientFile);
        bool found = false;
        for (const std::string& path : paths) {
            if (!exists(path)) {
                continue;
            }
            std::string reason;
            if (!loadCoefficientFile(path, table.tapCount, coefficients.taps[stage], reason)) {
                message = "the coefficient file " + path + " cannot be read: " + reason;
                return false;
            }
            found = true;
            break;
        }
        if (!found) {
            message = std::string("the coefficient file ") + table.coefficientFile +
                      " was found neither " + folders;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string programDirectory() {
    std::vector<char> path(4096);
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return "";
    }
    std::string text(path.data(), static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash);
}

bool loadCoefficientSet(const std::string& directory, CoefficientSet& coefficients,
                        std::string& message) {
    std::string folders = "in the working directory";
    for (const std::string& path : candidatePaths(directory, "")) {
        if (!path.empty()) {
            folders += " nor in " + path.substr(0, path.rfind('/'));
        }
    }
    return loadFirstFound(
        [&directory](const char* name) { return candidatePaths(directory, name); }, folders,
        coefficients, message);
}

bool loadCoefficientSetFrom(const std::vector<std::string>& folders, CoefficientSet& coefficients,
                            std::string& message) {
    std::string places;
    for (const std::string& folder : folders) {
        places += (places.empty() ? "in " : " nor in ") + folder;
    }
    return loadFirstFound(
        [&folders](const char* name) {
            std::vector<std::string> paths;
            for (const std::string& folder : folders) {
                paths.push_back(folder + "/" + name);
            }
            return paths;
        },
        places, coefficients, message);
}
