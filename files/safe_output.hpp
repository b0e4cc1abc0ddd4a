#pragma once

#include <string>

// How a program places its outputs. The defaults are the command-line tool's; the interactive
// program names its temporary files ".cartrivex-" and writes into a device or FIFO it is given.
struct OutputRules {
    // The temporary file's name in the target's folder, before its six random characters.
    std::string temporaryPrefix = ".cartrivex-cli-";
    // What begin does with an existing target that is neither a regular file nor a folder (a
    // device, a FIFO): refuse it ("not a regular file"), or write into it directly, as it comes,
    // since there is nothing to replace. A FIFO that nobody reads is refused rather than waited
    // on.
    bool writeIntoSpecialFiles = false;
};

// An output file that appears whole or not at all. The data goes to a temporary file in the
// output's folder, which is renamed over the target only when complete; a failure, or SIGINT,
// SIGTERM or SIGHUP while it is being written, removes the temporary file and leaves whatever
// the target held as it was. The input may be the target itself: it stays readable until the
// rename. One output is pending at a time in a process.
class SafeOutput {
  public:
    explicit SafeOutput(OutputRules rules = {});
    ~SafeOutput();  // removes the temporary file unless committed
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Follows symbolic links to the file that will be replaced, refuses a folder, a target the
    // user may not write to and (unless the rules say otherwise) anything but a regular file, and
    // creates the temporary file. False with the system's reason.
    bool begin(const std::string& path, std::string& reason);
    // The temporary file's descriptor (read and write), for the data; a device's or a FIFO's
    // (write only) when the rules write into it.
    int fd() const { return fd_; }
    // The folder the temporary file is in, for scratch files of the same run.
    const std::string& folder() const { return folder_; }

    // Flushes the data to disk and renames it over the target; false with the reason, the
    // temporary file removed and the target untouched. A device or FIFO is only closed.
    bool commit(std::string& reason);
    // Removes the temporary file.
    void abandon();

    // Removes the pending temporary file, if any: for a program's own signal handler, in which
    // it is safe to call.
    static void discardPending();

  private:
    OutputRules rules_;
    int fd_ = -1;
    bool direct_ = false;   // writing into a device or FIFO, not replacing a file
    bool pending_ = false;  // this output's temporary file is the pending one
    std::string target_;
    std::string folder_;
};

// Installs the handlers that remove a pending temporary file and end the program with exit code
// 128 + the signal's number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP), ending a line left
// on a terminal's stderr. A write beyond the file size limit becomes a failed write (SIGXFSZ is
// ignored), as does a closed pipe.
void installOutputSignalHandlers();

// An unnamed scratch file in `folder` (removed by the system as soon as it is closed, however the
// program ends): its descriptor, or -1 with the reason. Where the file system has no unnamed
// files, a named one (the rules' prefix, "scratch-" and six random characters) unlinked at once.
int openScratchFile(const std::string& folder, std::string& reason, const OutputRules& rules = {});

// The folder for scratch files of a run whose output has no folder (standard output): $TMPDIR,
// or /tmp.
std::string temporaryFolder();
