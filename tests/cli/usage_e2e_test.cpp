// Runs the built figsplit binary on command lines that cannot start a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ProcessResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // -1 unless the process exited normally
    int signal = 0;
};

std::string readAll(FILE* file) {
    std::string text;
    std::rewind(file);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    return text;
}

// Runs figsplit with `args`; standard output and error go to temporary files. With
// `closedErrorPipe`, standard error is instead a pipe whose reading end is already closed.
ProcessResult runFigsplit(const std::vector<std::string>& args, bool closedErrorPipe = false) {
    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::tmpfile(), &std::fclose);
    std::unique_ptr<FILE, decltype(&std::fclose)> err(std::tmpfile(), &std::fclose);
    int pipeFds[2] = {-1, -1};
    if (closedErrorPipe && ::pipe(pipeFds) != 0) return {};
    std::vector<char*> argv{const_cast<char*>(FIGSPLIT_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fileno(out.get()), 1);
        if (closedErrorPipe) {
            ::close(pipeFds[0]);
            ::dup2(pipeFds[1], 2);
        } else {
            ::dup2(fileno(err.get()), 2);
        }
        ::execv(FIGSPLIT_BINARY, argv.data());
        ::_exit(127);
    }
    if (closedErrorPipe) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProcessResult run;
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.out = readAll(out.get());
    run.err = readAll(err.get());
    return run;
}

const std::string kUsageLine =
    "error usage: figsplit <input-video> <output.mov> [--long-edge N] "
    "[--quality accurate|balanced]\n";

TEST(Usage, WrongPositionalCountFailsWithTheUsageLine) {
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {"in.mov"},
        {"in.mov", "out.mov", "third.mov"},
        {"in.mov", "out.mov", "--smooth"},            // the option lacks its value
        {"--verbose", "in.mov", "out.mov"},           // unknown options are positional
        {"--long-edge", "800", "--quality", "fast"},  // options only
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ProcessResult run = runFigsplit(args);
        EXPECT_EQ(run.err, kUsageLine);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exitStatus, 1);
    }
}

TEST(Usage, ClosedStandardErrorStillExitsWithOne) {
    // The failure line cannot be delivered; the process must not die of SIGPIPE instead.
    const ProcessResult run = runFigsplit({}, /*closedErrorPipe=*/true);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
}

}  // namespace
