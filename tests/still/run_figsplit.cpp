#include "run_figsplit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace figsplit::testing {

namespace {

std::string readAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

}  // namespace

ProcessRun runFigsplit(const std::vector<std::string>& args) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> out(std::tmpfile(), &std::fclose);
    std::unique_ptr<std::FILE, decltype(&std::fclose)> err(std::tmpfile(), &std::fclose);
    std::vector<char*> argv{const_cast<char*>(FIGSPLIT_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fileno(out.get()), 1);
        ::dup2(fileno(err.get()), 2);
        ::execv(FIGSPLIT_BINARY, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProcessRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = readAll(out.get());
    run.err = readAll(err.get());
    return run;
}

}  // namespace figsplit::testing
