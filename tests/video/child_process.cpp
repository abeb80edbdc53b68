#include "child_process.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace figsplit::testing {

ChildOutcome runInChild(const std::function<int()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        ::close(fds[1]);
        const int status = body();
        std::_Exit(status);
    }
    ::close(fds[1]);
    ChildOutcome outcome;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) {
        outcome.stderrText.append(chunk, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        outcome.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.exitStatus = 128 + WTERMSIG(status);
    }
    return outcome;
}

void* mapShared(size_t bytes) {
    void* address =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) throw std::runtime_error("mmap");
    return address;
}

void unmapShared(void* address, size_t bytes) {
    ::munmap(address, bytes);
}

}  // namespace figsplit::testing
