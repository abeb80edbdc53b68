#pragma once
// The run's output file, replaced safely: a file that existed before the run is either replaced
// whole by a finished output or left exactly as it was, and nothing else is ever left behind.
//
//   prepare()  looks at the output path before any work: refuses an output that is the input
//              (under any name) and anything that is neither a regular file nor a character
//              device; follows symbolic links to the file they name.
//   begin()    creates a hidden temporary file beside the target (".NAME.XXXXXXXX"), which the
//              writer then fills through writePath(), and records it as the pending output.
//   commit()   gives it the old file's owner and permission bits, flushes it to disk and renames
//              it over the target.
//
// A pending output is removed by fail() (report.h), by SIGINT, SIGTERM and SIGHUP once
// installInterruptCleanup() has run, and by the destructor of an OutputFile that was never
// committed.
//
// Written direct, with no temporary file: a character device (/dev/null), and the cases where
// the writer's own open is to report the failure in the system's words (a directory, a missing
// directory, a file we may not write). One exception keeps a working case working: a file we
// may write in a directory where we may not create one is written in place.
//
// Threading: an OutputFile is used from the main flow of control only; the pending-output
// record it keeps is read by signal handlers on any thread.
#include <sys/types.h>

#include <string>

namespace figsplit {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Decides how `outputPath` is to be written. Returns the failure text when the run must not
    // go on ("output would overwrite the input " + inputPath, "output is a FIFO, not a regular
    // file: " + outputPath, ...), else an empty string. Nothing is created or changed.
    std::string prepare(const std::string& inputPath, const std::string& outputPath);

    // Creates the temporary file when the target is to be replaced. When none can be made the
    // output is written direct if that risks nothing (no old file: the writer's own open
    // reports whatever stands in its way) or is the only way (a directory we may not add to);
    // otherwise (a full disk, a read-only file system) false with the system's reason.
    bool begin(std::string& error);

    // Where the writer writes: the temporary file after begin(), else the target itself.
    const std::string& writePath() const { return writePath_; }

    // Puts the finished temporary file in the target's place. False with the system's reason;
    // the temporary file is then removed. Nothing to do when writing direct.
    bool commit(std::string& error);

    // Removes the temporary file, if any (also done by the destructor before a commit).
    void discard();

    // Whether the output goes through a temporary file (after begin()).
    bool replacing() const { return temporary_; }

  private:
    std::string target_;     // the output path with symbolic links followed
    std::string writePath_;  // the temporary file, or the target when writing direct
    bool replace_ = false;   // absent or a regular file we may write: replace by rename
    bool existed_ = false;
    mode_t mode_ = 0;  // permission bits for the new file
    uid_t owner_ = 0;
    gid_t group_ = 0;
    bool temporary_ = false;  // writePath_ is our temporary file, not yet renamed
    int fd_ = -1;             // open on the temporary file until commit or discard
};

// Installs handlers for SIGINT, SIGTERM and SIGHUP (not for a signal the process was started
// ignoring) that remove the pending output, then end the process by the same signal. Call once,
// early, from the entry.
void installInterruptCleanup();

// Removes the pending output file, if there is one. Async-signal-safe; used by fail() and by the
// handlers.
void removePendingOutput() noexcept;

// The pending output's path ("" when none); for tests.
std::string pendingOutputPath();

}  // namespace figsplit
