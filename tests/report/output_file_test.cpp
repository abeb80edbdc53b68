// OutputFile and the pending-output record: what prepare() decides, what commit() puts in place,
// and what fail() and the interrupt handlers clear up (in child processes, which they end).
#include "report/output_file.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "report/report.h"
#include "support/scratch_dir.h"

namespace figsplit {
namespace {

namespace fs = std::filesystem;

void begin(OutputFile& out) {
    std::string error;
    ASSERT_TRUE(out.begin(error)) << error;
}

class OutputFileTest : public ::testing::Test {
  protected:
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> entries() const { return testing::directoryEntries(dir_); }

    // Runs `body` in a child process that reports on `ready` (write end of a pipe) once it has
    // reached the point to test; returns the child's wait status after `then` has run.
    static int inChild(const std::function<void(int ready)>& body,
                       const std::function<void(pid_t)>& then) {
        int fds[2];
        if (::pipe(fds) != 0) return -1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            body(fds[1]);
            std::_Exit(0);
        }
        ::close(fds[1]);
        char byte = 0;
        if (::read(fds[0], &byte, 1) == 1) then(child);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        return status;
    }

    testing::ScratchDir scratch_;
    const fs::path dir_ = scratch_.path();
};

TEST_F(OutputFileTest, ReplacesAFileOnlyOnCommitAndKeepsItsPermissions) {
    const std::string output = file("out.mov");
    write(output, "old");
    ASSERT_EQ(::chmod(output.c_str(), 0604), 0);
    OutputFile out;
    ASSERT_EQ(out.prepare(file("in.mov"), output), "");
    begin(out);
    ASSERT_TRUE(out.replacing());
    EXPECT_EQ(out.writePath().rfind(file(".out.mov."), 0), 0u) << out.writePath();
    EXPECT_EQ(pendingOutputPath(), out.writePath());
    write(out.writePath(), "new");
    EXPECT_EQ(read(output), "old") << "untouched until the commit";
    std::string error;
    ASSERT_TRUE(out.commit(error)) << error;
    EXPECT_EQ(read(output), "new");
    EXPECT_EQ(pendingOutputPath(), "");
    struct stat info {};
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    EXPECT_EQ(entries(), std::vector<std::string>{"out.mov"});
}

TEST_F(OutputFileTest, AnUncommittedOutputIsRemovedAndTheOldFileKept) {
    const std::string output = file("out.mov");
    write(output, "old");
    {
        OutputFile out;
        ASSERT_EQ(out.prepare(file("in.mov"), output), "");
        begin(out);
        write(out.writePath(), "half");
    }
    EXPECT_EQ(read(output), "old");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.mov"});
    EXPECT_EQ(pendingOutputPath(), "");
}

// Where no temporary file can be made, or the writer's own open is to say what is wrong, the
// output is written direct.
TEST_F(OutputFileTest, WhatIsWrittenDirect) {
    ASSERT_EQ(::mkdir(file("dir").c_str(), 0755), 0);
    struct Case {
        std::string output;
        std::string writePath;
    };
    const Case cases[] = {
        {file("missing/out.mov"), file("missing/out.mov")},
        {file("dir"), file("dir")},
        {"/dev/null", "/dev/null"},
    };
    for (const Case& c : cases) {
        OutputFile out;
        ASSERT_EQ(out.prepare(file("in.mov"), c.output), "") << c.output;
        begin(out);
        EXPECT_FALSE(out.replacing()) << c.output;
        EXPECT_EQ(out.writePath(), c.writePath);
        std::string error;
        EXPECT_TRUE(out.commit(error)) << "nothing to rename";
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"dir"});
    EXPECT_TRUE(fs::is_empty(file("dir")));
}

TEST_F(OutputFileTest, ALongNameStillGetsATemporaryFileBesideIt) {
    const std::string output = file(std::string(255, 'n'));
    OutputFile out;
    ASSERT_EQ(out.prepare(file("in.mov"), output), "");
    begin(out);
    EXPECT_TRUE(out.replacing());
    std::string error;
    ASSERT_TRUE(out.commit(error)) << error;
    EXPECT_TRUE(fs::exists(output));
}

// No room for a temporary file (here: no inode left) with an old file in place: refused with
// the reason, never written in place where a failure would destroy it.
TEST_F(OutputFileTest, NoRoomForATemporaryFileKeepsTheOldFile) {
    const std::string mountPoint = file("small");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    if (::mount("figsplit-test", mountPoint.c_str(), "tmpfs", 0, "size=64k,nr_inodes=2") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: not tested";
    }
    const std::string output = mountPoint + "/out.mov";
    write(output, "old");
    OutputFile out;
    ASSERT_EQ(out.prepare(file("in.mov"), output), "");
    std::string error;
    EXPECT_FALSE(out.begin(error));
    EXPECT_EQ(error, "No space left on device");
    EXPECT_EQ(read(output), "old");
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

TEST_F(OutputFileTest, RootKeepsTheOldOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file away";
    const std::string output = file("out.mov");
    write(output, "old");
    ASSERT_EQ(::chown(output.c_str(), 65534, 65534), 0);
    OutputFile out;
    ASSERT_EQ(out.prepare(file("in.mov"), output), "");
    begin(out);
    std::string error;
    ASSERT_TRUE(out.commit(error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
}

TEST_F(OutputFileTest, FailRemovesThePendingOutput) {
    const std::string output = file("out.mov");
    write(output, "old");
    const int status = inChild(
        [&](int ready) {
            OutputFile out;
            out.prepare(file("in.mov"), output);
            begin(out);
            write(out.writePath(), "half");
            ::close(2);  // the failure line is report_test's business
            (void)::write(ready, "r", 1);
            fail("disk full");
        },
        [](pid_t) {});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read(output), "old");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.mov"});
}

// Each signal, sent to the whole process from outside: the temporary file goes
// and the process ends by that signal.
TEST_F(OutputFileTest, InterruptsRemoveThePendingOutputAndEndTheProcessByTheSignal) {
    const std::string output = file("out.mov");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        write(output, "old");
        const int status = inChild(
            [&](int ready) {
                installInterruptCleanup();
                OutputFile out;
                out.prepare(file("in.mov"), output);
                begin(out);
                write(out.writePath(), "half");
                (void)::write(ready, "r", 1);
                for (;;) ::pause();
            },
            [&](pid_t child) { ::kill(child, signal); });
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(read(output), "old");
        EXPECT_EQ(entries(), std::vector<std::string>{"out.mov"});
    }
}

TEST_F(OutputFileTest, ASignalIgnoredAtStartStaysIgnored) {
    const int status = inChild(
        [&](int ready) {
            std::signal(SIGHUP, SIG_IGN);  // as nohup leaves it
            installInterruptCleanup();
            OutputFile out;
            out.prepare(file("in.mov"), file("out.mov"));
            begin(out);
            ::raise(SIGHUP);
            std::string error;
            (void)::write(ready, "r", 1);
            std::_Exit(out.commit(error) ? 0 : 2);
        },
        [](pid_t) {});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(file("out.mov")));
}

}  // namespace
}  // namespace figsplit
