// The figsplit binary in video mode against the ways a run could lose or damage a file or hang:
// inputs read through a FIFO, outputs that are devices or FIFOs, interrupts, a full disk, and a
// movie whose first frames lie before time zero.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e_support.h"

extern char** environ;

namespace figsplit {
namespace {

namespace fs = std::filesystem;
using testing::directoryEntries;
using testing::figsplit;
using testing::probeMovie;
using testing::ProgramRun;

// figsplit started in the background, its standard error collected, killed if it outlives
// `limit` (a hang fails the test instead of stalling the suite).
class Background {
  public:
    explicit Background(const std::vector<std::string>& arguments) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<std::string> all = {FIGSPLIT_BINARY};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, FIGSPLIT_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        stderr_ = fds[0];
    }
    ~Background() {
        if (pid_ > 0) finish(std::chrono::seconds(0));
    }

    pid_t pid() const { return pid_; }

    // Waits for the end (killing the process after `limit`); the status as a shell shows it.
    int finish(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            pollfd fd{stderr_, POLLIN, 0};
            if (::poll(&fd, 1, 50) > 0) {
                char chunk[4096];
                const ssize_t n = ::read(stderr_, chunk, sizeof chunk);
                if (n > 0) {
                    text_.append(chunk, static_cast<size_t>(n));
                    continue;
                }
                break;  // end of file: the process has gone
            }
            if (std::chrono::steady_clock::now() > deadline) {
                hung_ = true;
                ::kill(pid_, SIGKILL);
            }
        }
        ::close(stderr_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }
    const std::string& stderrText() const { return text_; }
    bool hung() const { return hung_; }

  private:
    pid_t pid_ = -1;
    int stderr_ = -1;
    std::string text_;
    bool hung_ = false;
};

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileSafety : public testing::MovieFixture {
  protected:
    // A small MPEG-TS clip (streamable: it can come through a pipe).
    std::string clip(const std::string& name, double seconds) {
        return testPattern(name, "160x120", seconds, "-c:v libx264 -bf 0 -f mpegts");
    }
    std::string directory() const { return dir_.path(); }
};

// MPEG-TS times are 33-bit and wrap; a clip that starts 1.5 s before the wrap is read with its
// first 15 frames at -1.5 s ... -0.1 s. Every one of them is written and visible in the movie.
TEST_F(FileSafety, FramesBeforeTimeZeroAreAllVisible) {
    const std::string plain =
        make("plain.mp4", "-f lavfi -i testsrc=size=160x120:rate=10 -t 3 -c:v libx264 -bf 0");
    const std::string early = make("early.ts", "-i " + testing::q(plain) +
                                                   " -c copy -muxdelay 0 -muxpreload 0"
                                                   " -output_ts_offset 95442.217688 -f mpegts");
    const testing::MovieFacts source = probeMovie(early);
    ASSERT_EQ(source.frames.size(), 30u);
    ASSERT_NEAR(source.frames.front().time.seconds(), -1.5, 1e-6) << "the fixture starts early";

    const std::string output = dir_.file("out.mov");
    const ProgramRun run = figsplit({early, output, "--quality", "balanced"});
    ASSERT_EQ(run.exitStatus, 0) << run.stderrText;
    EXPECT_TRUE(run.stderrText.ends_with("\ntime 1.4\nframes 30\n")) << run.stderrText;
    const testing::MovieFacts movie = probeMovie(output);
    ASSERT_EQ(movie.frames.size(), 30u) << "what a player decodes";
    // One common shift: the first frame at zero, every frame keeping its distance.
    for (size_t i = 0; i < movie.frames.size(); ++i) {
        EXPECT_NEAR(movie.frames[i].time.seconds(), 0.1 * static_cast<double>(i), 1e-6) << i;
    }
}

// The movie is opened once and read through: a FIFO fed by another process works (MPEG-TS, and
// a short MP4 whose index comes last), and what is not a movie fails at once with one line.
TEST_F(FileSafety, AFifoInputIsReadThroughWithoutASecondOpen) {
    const std::string ts = clip("clip.ts", 1);
    const std::string mp4 = testPattern("clip.mp4", "160x120", 1, "-c:v libx264");
    const std::string junk = dir_.file("junk.bin");
    std::ofstream(junk) << std::string(100000, 'j');
    struct Case {
        std::string source;
        bool works;
    };
    for (const Case& c : {Case{ts, true}, Case{mp4, true}, Case{junk, false}}) {
        SCOPED_TRACE(c.source);
        const std::string fifo = dir_.file("input.fifo");
        fs::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        Background run({fifo, dir_.file("out.mov"), "--quality", "balanced"});
        std::thread feeder([&] {
            const int out = ::open(fifo.c_str(), O_WRONLY);
            const std::string bytes = readText(c.source);
            // A reader that stops early closes its end: the rest is refused, not waited on.
            std::signal(SIGPIPE, SIG_IGN);
            if (out >= 0) (void)!::write(out, bytes.data(), bytes.size());
            if (out >= 0) ::close(out);
        });
        const int status = run.finish(std::chrono::seconds(60));
        feeder.join();
        EXPECT_FALSE(run.hung()) << run.stderrText();
        if (c.works) {
            EXPECT_EQ(status, 0) << run.stderrText();
            EXPECT_TRUE(run.stderrText().ends_with("\nframes 25\n")) << run.stderrText();
            EXPECT_EQ(probeMovie(dir_.file("out.mov")).frames.size(), 25u);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(run.stderrText(), "error no video track in " + fifo + "\n");
        }
    }
}

// Only a regular file is replaced: a character device is written to as it is, a FIFO refused
// at set-up (its reader is not left waiting for a movie), a symbolic link written through.
TEST_F(FileSafety, OutputsThatAreDevicesFifosOrLinks) {
    const std::string input = clip("clip.ts", 0.4);
    const std::string header = "duration 0.4\nsize 160 120\n";

    const std::string fifo = dir_.file("out.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Background refused({input, fifo, "--quality", "balanced"});
    EXPECT_EQ(refused.finish(std::chrono::seconds(60)), 1);
    EXPECT_EQ(refused.stderrText(),
              header + "error output is a FIFO, not a regular file: " + fifo + "\n");
    EXPECT_TRUE(fs::is_fifo(fifo));

    fs::create_directory(dir_.file("real"));
    std::ofstream(dir_.file("real/out.mov")) << "old";
    fs::create_symlink("real/out.mov", dir_.file("link.mov"));
    ProgramRun run = figsplit({input, dir_.file("link.mov"), "--quality", "balanced"});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    EXPECT_TRUE(fs::is_symlink(dir_.file("link.mov")));
    EXPECT_EQ(probeMovie(dir_.file("real/out.mov")).frames.size(), 10u);
    EXPECT_EQ(directoryEntries(dir_.file("real")), std::vector<std::string>{"out.mov"});

    const std::string null = dir_.file("null");
    if (::mknod(null.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "device nodes cannot be made here (not root?)";
    }
    run = figsplit({input, null, "--quality", "balanced"});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    EXPECT_TRUE(run.stderrText.ends_with("frames 10\n")) << run.stderrText;
    EXPECT_TRUE(fs::is_character_file(null)) << "still the device";
}

// SIGINT, SIGTERM and SIGHUP while the movie is being written: the process ends by the signal,
// the old output is whole, and no temporary file is left.
TEST_F(FileSafety, InterruptedRunsLeaveTheOldOutputAndNothingElse) {
    const std::string input = clip("long.ts", 8);
    const std::string output = dir_.file("out.mov");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        std::ofstream(output) << "an old movie";
        const std::vector<std::string> before = directoryEntries(directory());
        Background run({input, output, "--quality", "balanced"});
        // Wait for the temporary movie to appear, then interrupt.
        bool writing = false;
        for (int i = 0; i < 600 && !writing; ++i) {
            for (const std::string& name : directoryEntries(directory())) {
                if (name.starts_with(".out.mov.")) writing = true;
            }
            if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(writing) << "no temporary file seen";
        ::kill(run.pid(), signal);
        EXPECT_EQ(run.finish(std::chrono::seconds(60)), 128 + signal) << run.stderrText();
        EXPECT_EQ(readText(output), "an old movie");
        EXPECT_EQ(directoryEntries(directory()), before);
    }
}

// A disk that fills up part-way: the failure line, the old output whole, no temporary file, and
// the space given back.
TEST_F(FileSafety, AFullDiskKeepsTheOldOutputAndFreesTheSpace) {
    const std::string input = clip("clip.ts", 4);
    const std::string mountPoint = dir_.file("small");
    fs::create_directory(mountPoint);
    if (::mount("figsplit-test", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                     << "): the full-disk case is not tested";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    const std::string output = mountPoint + "/out.mov";
    std::ofstream(output) << "an old movie";
    // Fill the disk but for a few kilobytes.
    {
        std::ofstream filler(mountPoint + "/filler", std::ios::binary);
        struct statvfs info {};
        ASSERT_EQ(::statvfs(mountPoint.c_str(), &info), 0);
        const uint64_t free = info.f_bavail * info.f_frsize;
        filler << std::string(free > 8192 ? free - 8192 : 0, 'x');
    }
    struct statvfs before {};
    ASSERT_EQ(::statvfs(mountPoint.c_str(), &before), 0);

    const ProgramRun run = figsplit({input, output, "--quality", "balanced"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.stderrText.ends_with("\nerror writer: No space left on device\n"))
        << run.stderrText;
    EXPECT_EQ(readText(output), "an old movie");
    EXPECT_EQ(directoryEntries(mountPoint), (std::vector<std::string>{"filler", "out.mov"}));
    struct statvfs after {};
    ASSERT_EQ(::statvfs(mountPoint.c_str(), &after), 0);
    EXPECT_EQ(after.f_bavail, before.f_bavail) << "the space is given back";
}

}  // namespace
}  // namespace figsplit
