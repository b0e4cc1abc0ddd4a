#pragma once

// Runs a program as a child process and captures what it says, for tests of the built tools.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

struct ProcessOptions {
    std::string workingDirectory;  // empty: the test's own
    long long fileSizeLimit = -1;  // bytes any file the child writes may reach; -1: no limit
};

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit by itself
    int signal = 0;     // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// A child started with its stdout and stderr on pipes and its stdin on /dev/null.
class RunningProcess {
  public:
    RunningProcess(const std::vector<std::string>& arguments, const ProcessOptions& options = {}) {
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(outPipe[1], STDOUT_FILENO);
            ::dup2(errPipe[1], STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
            if (!options.workingDirectory.empty() &&
                ::chdir(options.workingDirectory.c_str()) != 0) {
                ::_exit(126);
            }
            if (options.fileSizeLimit >= 0) {
                const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                                   static_cast<rlim_t>(options.fileSizeLimit)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::vector<char*> argv;
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        outFd_ = outPipe[0];
        errFd_ = errPipe[0];
    }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    ~RunningProcess() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    pid_t pid() const { return pid_; }
    void sendSignal(int number) { ::kill(pid_, number); }

    // Reads everything the child says until it closes both pipes, then waits for it.
    ProcessResult wait() {
        ProcessResult result;
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        std::string* texts[2] = {&result.out, &result.err};
        int open = 2;
        while (open > 0) {
            if (::poll(fds, 2, -1) < 0) {
                break;
            }
            for (int k = 0; k < 2; ++k) {
                if (fds[k].fd >= 0 && fds[k].revents != 0) {
                    char buffer[4096];
                    const ssize_t got = ::read(fds[k].fd, buffer, sizeof buffer);
                    if (got > 0) {
                        texts[k]->append(buffer, static_cast<std::size_t>(got));
                    } else {
                        ::close(fds[k].fd);
                        fds[k].fd = -1;
                        --open;
                    }
                }
            }
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        if (WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
        return result;
    }

  private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool waited_ = false;
};

// Runs the program to its end.
inline ProcessResult runProcess(const std::vector<std::string>& arguments,
                                const ProcessOptions& options = {}) {
    RunningProcess process(arguments, options);
    return process.wait();
}

// `text` as one word for /bin/sh, in single quotes.
inline std::string shellWord(const std::string& text) {
    std::string word = "'";
    for (const char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

// Runs a shell command line (pipes and redirections as a user types them) to its end.
inline ProcessResult runShell(const std::string& command, const ProcessOptions& options = {}) {
    return runProcess({"/bin/sh", "-c", command}, options);
}

// Whether a program of that name is on the PATH.
inline bool programAvailable(const std::string& name) {
    return runShell("command -v " + shellWord(name) + " >/dev/null").exitCode == 0;
}
