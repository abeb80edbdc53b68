// writePng: what lands on disk, and the reasons a write fails. (Replacing an old output safely
// is image mode's business, tested with it.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "image_fixtures.h"
#include "platform/imaging/imaging.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

RgbaImage noise(int64_t width, int64_t height, unsigned seed) {
    std::mt19937 random(seed);
    RgbaImage image = makeRgba(width, height);
    for (uint8_t& byte : image.pixels) byte = static_cast<uint8_t>(random());
    return image;
}

bool isPng(const Bytes& bytes) {
    static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return bytes.size() > 8 &&
           std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
}

bool containsChunk(const Bytes& bytes, const char* type) {
    return std::search(bytes.begin(), bytes.end(), type, type + 4) != bytes.end();
}

TEST(WritePng, RoundTripsRgbaAsEightBitWithAnSrgbChunkWhateverTheExtension) {
    ScratchDir dir;
    const RgbaImage image = noise(37, 23, 1);
    for (const char* name : {"cut.png", "cut.mov", "no-extension"}) {
        const std::string path = dir.file(name);
        std::string error;
        ASSERT_TRUE(writePng(path, image, error)) << error;
        const Bytes bytes = readFile(path);
        ASSERT_TRUE(isPng(bytes)) << name;
        EXPECT_EQ(bytes[24], 8) << "bit depth";
        EXPECT_EQ(bytes[25], 6) << "colour type RGBA";
        EXPECT_TRUE(containsChunk(bytes, "sRGB"));
        RgbaImage back;
        ASSERT_TRUE(decodeImage(path, back, error)) << error;
        EXPECT_EQ(back.width, 37);
        EXPECT_EQ(back.height, 23);
        EXPECT_EQ(back.pixels, image.pixels);
    }
    EXPECT_EQ(directoryEntries(dir.path()),
              (std::vector<std::string>{"cut.mov", "cut.png", "no-extension"}))
        << "no temporary files left behind";
}

TEST(WritePng, FailuresCarryTheSystemsReason) {
    ScratchDir dir;
    const RgbaImage image = noise(8, 8, 2);
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {dir.file("missing/cut.png"), "No such file or directory"},
        {dir.path(), "Is a directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(writePng(c.path, image, error)) << c.path;
        EXPECT_EQ(error, c.reason);
    }
    std::string error;
    EXPECT_FALSE(writePng(dir.file("empty.png"), RgbaImage{}, error));
}

TEST(WritePng, AWriteThatFailsPartWaySaysWhy) {
    ScratchDir dir;
    const std::string path = dir.file("cut.png");

    // Files may grow to 4 KB only: the write of a 64 KB picture fails part-way.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool written = writePng(path, noise(128, 128, 3), error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(written);
    EXPECT_EQ(error, "File too large");
}

TEST(WritePng, AFileWeMayNotWriteIsNotReplaced) {
    ScratchDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);  // the directory itself is writable
    const std::string path = dir.file("locked.png");
    writeFile(path, {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    // Root may write anything: the check runs as an unprivileged user in a child process.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
        std::string error;
        if (writePng(path, noise(4, 4, 6), error)) ::_exit(1);
        ::_exit(error == "Permission denied" ? 0 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: written, 2: another reason, 3: setuid failed";
    EXPECT_EQ(readFile(path), (Bytes{'o', 'l', 'd'}));
}

TEST(WritePng, SymbolicLinksAreWrittenThrough) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("real"));
    const std::string target = dir.file("real/target.png");
    writeFile(target, {'o', 'l', 'd'});
    ASSERT_EQ(::symlink("real/target.png", dir.file("link.png").c_str()), 0);
    ASSERT_EQ(::symlink("real/new.png", dir.file("dangling.png").c_str()), 0);

    const RgbaImage image = noise(5, 5, 4);
    std::string error;
    ASSERT_TRUE(writePng(dir.file("link.png"), image, error)) << error;
    ASSERT_TRUE(writePng(dir.file("dangling.png"), image, error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.png")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.png")));
    EXPECT_TRUE(isPng(readFile(target)));
    EXPECT_TRUE(isPng(readFile(dir.file("real/new.png"))));
}

TEST(WritePng, PermissionsFollowTheUmaskOrTheReplacedFile) {
    ScratchDir dir;
    const RgbaImage image = noise(4, 4, 5);
    const mode_t savedMask = ::umask(027);
    std::string error;
    const bool created = writePng(dir.file("new.png"), image, error);
    ::umask(savedMask);
    ASSERT_TRUE(created) << error;
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("new.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    writeFile(dir.file("private.png"), {'x'});
    ASSERT_EQ(::chmod(dir.file("private.png").c_str(), 0600), 0);
    ASSERT_TRUE(writePng(dir.file("private.png"), image, error)) << error;
    ASSERT_EQ(::stat(dir.file("private.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace figsplit
