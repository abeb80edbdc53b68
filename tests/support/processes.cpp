#include "support/processes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace figsplit::testing {

namespace {

std::string readAll(int fd) {
    std::string text;
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
}

}  // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      ErrorStream errorStream) {
    // Standard error goes to a file, standard output to a pipe read while the program runs.
    char errName[] = "/tmp/figsplit-stderr-XXXXXX";
    const int errFd = ::mkstemp(errName);
    if (errFd < 0) throw std::runtime_error("mkstemp");
    ::unlink(errName);
    int outPipe[2];
    int closedPipe[2] = {-1, -1};
    if (::pipe(outPipe) != 0) throw std::runtime_error("pipe");
    if (errorStream == ErrorStream::closedPipe && ::pipe(closedPipe) != 0) {
        throw std::runtime_error("pipe");
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        if (errorStream == ErrorStream::closedPipe) {
            ::close(closedPipe[0]);
            ::dup2(closedPipe[1], 2);
        } else {
            ::dup2(errFd, 2);
        }
        ::execv(program.c_str(), argv.data());
        std::_Exit(127);
    }
    ::close(outPipe[1]);
    if (errorStream == ErrorStream::closedPipe) {
        ::close(closedPipe[0]);
        ::close(closedPipe[1]);
    }
    ProgramRun run;
    run.stdoutText = readAll(outPipe[0]);
    ::close(outPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + run.signal;
    ::lseek(errFd, 0, SEEK_SET);
    run.stderrText = readAll(errFd);
    ::close(errFd);
    return run;
}

ProgramRun figsplit(const std::vector<std::string>& arguments) {
    return runProgram(FIGSPLIT_BINARY, arguments);
}

bool ffmpeg(const std::string& arguments) {
    const std::string command =
        "timeout 120 ffmpeg -nostdin -y -hide_banner -loglevel error " + arguments;
    return std::system(command.c_str()) == 0;
}

std::string commandOutput(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string text = readAll(::fileno(pipe));
    ::pclose(pipe);
    return text;
}

std::string q(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string lastLine(const std::string& text) {
    if (text.empty() || text.back() != '\n') return {};
    const size_t newline = text.rfind('\n', text.size() - 2);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, text.size() - 1 - start);
}

}  // namespace figsplit::testing
