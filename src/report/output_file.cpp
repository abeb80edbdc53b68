// Safe replacement of the output file, and the pending-output record that fail() and the
// interrupt handlers clear up.
#include "report/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

namespace figsplit {

namespace {

// The one temporary output of the process. A signal handler can reach nothing but process-wide
// state, so this record is the single exception to run state living in structs passed around:
// it holds a copy of the path in a fixed buffer, and the handler only reads it and unlinks.
// `armed` is set after the path is complete and cleared before it changes, so a handler on any
// thread sees either a whole path or none.
struct PendingOutput {
    std::atomic<bool> armed = false;
    char path[PATH_MAX] = {};
};
static_assert(std::atomic<bool>::is_always_lock_free);

PendingOutput pendingOutput;

bool recordPending(const std::string& path) {
    pendingOutput.armed.store(false);
    if (path.size() >= sizeof pendingOutput.path) return false;
    std::memcpy(pendingOutput.path, path.c_str(), path.size() + 1);
    pendingOutput.armed.store(true);
    return true;
}

void forgetPending() {
    pendingOutput.armed.store(false);
}

extern "C" void removeOutputAndRaise(int signal) {
    // SA_RESETHAND has put back the default action and SA_NODEFER leaves the signal unblocked,
    // so raising it again ends the process by it, as the shell expects (status 128 + signal).
    removePendingOutput();
    ::raise(signal);
}

mode_t currentUmask() {
    // Read, not set: umask(2) would change process-wide state even for a moment.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
        }
    }
    return 022;
}

// The path a write to `path` lands on: symbolic links followed to the end (a dangling link
// names the file it will create).
std::string finalTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<size_t>(length) >= link.size()) return path;
        link.resize(static_cast<size_t>(length));
        if (link.front() == '/') {
            path = link;
        } else {
            const size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
    }
    return path;  // a loop: let the writer's open report it
}

// True when both paths exist and name the same file, whatever links lead there.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

const char* kindName(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

// Eight random letters and digits for a temporary name.
std::string randomSuffix() {
    static constexpr char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Unlikely; the exclusive create below still refuses a name that is taken.
        uint64_t seed = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed));
        for (unsigned char& byte : bytes) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            byte = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string suffix;
    for (unsigned char byte : bytes) suffix.push_back(kAlphabet[byte % (sizeof kAlphabet - 1)]);
    return suffix;
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

std::string OutputFile::prepare(const std::string& inputPath, const std::string& outputPath) {
    discard();
    // Writing the output would destroy the input when both are one file, under this name or
    // another (hard or symbolic link).
    if (sameFile(inputPath, outputPath)) return "output would overwrite the input " + inputPath;

    target_ = finalTarget(outputPath);
    writePath_ = target_;
    replace_ = false;
    existed_ = false;
    struct stat info {};
    if (::stat(target_.c_str(), &info) != 0) {
        // Nothing there yet: a new file, created through a temporary one. Any other reason
        // (a missing or forbidden directory, a link loop) is the writer's open to report.
        if (errno == ENOENT) {
            replace_ = true;
            mode_ = 0666 & ~currentUmask();
        }
        return {};
    }
    if (S_ISREG(info.st_mode)) {
        // A file we may not write is not replaced behind its back: the writer's open is refused
        // with the system's reason and the file stays as it is.
        if (::access(target_.c_str(), W_OK) == 0) {
            replace_ = true;
            existed_ = true;
            mode_ = info.st_mode & 07777;
            owner_ = info.st_uid;
            group_ = info.st_gid;
        }
        return {};
    }
    // A character device takes the output as it comes; a directory is refused by the writer's
    // open as it always was. Nothing else can hold the output, and replacing it would destroy
    // what the user put there (a FIFO someone reads, a socket, a disk).
    if (S_ISCHR(info.st_mode) || S_ISDIR(info.st_mode)) return {};
    return std::string("output is ") + kindName(info.st_mode) +
           ", not a regular file: " + outputPath;
}

bool OutputFile::begin(std::string& error) {
    discard();
    writePath_ = target_;
    if (!replace_) return true;
    const size_t slash = target_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target_.substr(0, slash);
    // Room for the dot and the suffix within the longest name a directory holds.
    const std::string name =
        (slash == std::string::npos ? target_ : target_.substr(slash + 1)).substr(0, NAME_MAX - 16);
    int reason = EEXIST;
    for (int attempt = 0; attempt < 100 && reason == EEXIST; ++attempt) {
        const std::string candidate = directory + "/." + name + "." + randomSuffix();
        // Recorded before it exists, so that no moment passes in which an interrupt would find
        // the file made but not recorded.
        if (!recordPending(candidate)) {
            reason = ENAMETOOLONG;
            break;
        }
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_ = fd;
            writePath_ = candidate;
            temporary_ = true;
            return true;
        }
        reason = errno;  // EEXIST: not our file; try another name
        forgetPending();
    }
    // No temporary file. With no old file there is nothing to lose: the writer's own open
    // creates the output or says why it cannot. An old file in a directory we may not add to
    // is written in place, the only way left to write it. Anything else (a full disk, a quota,
    // a read-only file system) would destroy the old file for nothing.
    if (!existed_ || reason == EACCES || reason == EPERM) return true;
    error = std::strerror(reason);
    return false;
}

bool OutputFile::commit(std::string& error) {
    if (!temporary_) return true;
    bool ok = true;
    // The owner first: changing it clears set-user-ID bits, which the mode then restores. Only
    // root may give the file away; for anyone else the file is theirs already or stays so.
    if (existed_ && ::fchown(fd_, owner_, group_) != 0) {
        // Not ours to give away: the new file stays the writer's own.
    }
    if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0) ok = false;
    if (ok && ::rename(writePath_.c_str(), target_.c_str()) != 0) ok = false;
    if (!ok) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    forgetPending();
    ::close(fd_);
    fd_ = -1;
    temporary_ = false;
    writePath_ = target_;
    return true;
}

void OutputFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (temporary_) {
        forgetPending();
        ::unlink(writePath_.c_str());
        temporary_ = false;
        writePath_ = target_;
    }
}

void installInterruptCleanup() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;  // a signal ignored by whoever started us (nohup, a background job) stays so
        }
        struct sigaction action {};
        action.sa_handler = removeOutputAndRaise;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        ::sigaction(signal, &action, nullptr);
    }
}

void removePendingOutput() noexcept {
    if (pendingOutput.armed.exchange(false)) ::unlink(pendingOutput.path);
}

std::string pendingOutputPath() {
    return pendingOutput.armed.load() ? std::string(pendingOutput.path) : std::string();
}

}  // namespace figsplit
