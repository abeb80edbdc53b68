#pragma once
// Running programs from tests: the figsplit binary and any other program with their output
// captured, and the ffmpeg and ffprobe command-line tools through the shell.
#include <string>
#include <vector>

namespace figsplit::testing {

struct ProgramRun {
    int exitStatus = -1;  // the exit status, or 128 + the signal number when killed
    int signal = 0;       // the signal that ended the process, else 0
    std::string stdoutText;
    std::string stderrText;
};

enum class ErrorStream {
    captured,    // standard error is captured into stderrText
    closedPipe,  // standard error is a pipe whose reading end is already closed
};

// Runs `program` with `arguments` (no shell) and waits for it. Standard output is captured, and
// standard error as `errorStream` says; neither can block the other.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      ErrorStream errorStream = ErrorStream::captured);

// The figsplit binary under test.
ProgramRun figsplit(const std::vector<std::string>& arguments);

// `ffmpeg -nostdin -y -hide_banner -loglevel error` + arguments through the shell, for two
// minutes at most (a mistaken endless source cannot run on); true when it succeeds.
bool ffmpeg(const std::string& arguments);

// Standard output of a shell command.
std::string commandOutput(const std::string& command);

// `text` quoted for the shell.
std::string q(const std::string& text);

// The last line of `text`, without its line feed; empty unless `text` ends with one.
std::string lastLine(const std::string& text);

}  // namespace figsplit::testing
