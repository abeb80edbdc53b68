// Image mode end to end in-process: real decoding and PNG writing on temporary files, with a
// scripted segmenter in place of the model (and, where a failure is wanted, a scripted writer).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "image_fixtures.h"
#include "report/output_file.h"
#include "still/image_run.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

// Returns a fixed matte (or failure) and remembers the picture it was given.
class ScriptedSegmenter : public Segmenter {
  public:
    ImageSize wanted;
    GreyImage matte;
    bool fails = false;
    RgbImage* seen = nullptr;

    ImageSize inputSize(int64_t, int64_t) const override { return wanted; }
    bool perform(const RgbImage& upright, GreyImage& out, std::string& error) override {
        if (seen) *seen = upright;
        if (fails) {
            error = "the request failed";
            return false;
        }
        out = matte;
        return true;
    }
};

struct Script {
    ImageSize wanted{20, 15};
    GreyImage matte;
    bool fails = false;
    std::string loadError;  // non-empty: the segmenter does not load
    RgbImage seen;
};

ImageServices scripted(Script& script) {
    ImageServices services = realImageServices();
    services.makeSegmenter = [&script]() {
        SegmenterResult result;
        if (!script.loadError.empty()) {
            result.error = script.loadError;
            return result;
        }
        auto segmenter = std::make_unique<ScriptedSegmenter>();
        segmenter->wanted = script.wanted;
        segmenter->matte = script.matte;
        segmenter->fails = script.fails;
        segmenter->seen = &script.seen;
        result.segmenter = std::move(segmenter);
        return result;
    };
    return services;
}

// A matte of width x height, 255 in the left half from row `top` down, 0 elsewhere; rows
// padded to a stride of width + 3 with 255.
GreyImage leftHalfFrom(int64_t width, int64_t height, int64_t top) {
    GreyImage m;
    m.width = width;
    m.height = height;
    m.stride = width + 3;
    m.bytes.assign(static_cast<size_t>(m.stride * height), 255);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            m.bytes[static_cast<size_t>(y * m.stride + x)] = (x < width / 2 && y >= top) ? 255 : 0;
    return m;
}

RgbaImage gradient(int64_t width, int64_t height) {
    RgbaImage image = makeRgba(width, height);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            setPixel(image, x, y,
                     (static_cast<uint32_t>(x * 6) << 24) | (static_cast<uint32_t>(y * 8) << 16) |
                         (0x40u << 8) | 0xFFu);
    return image;
}

TEST(CutOut, WritesThePictureWhereTheMatteMarksAPersonAndReports) {
    ScratchDir dir;
    const RgbaImage picture = gradient(40, 30);
    const std::string input = dir.file("photo.PNG");
    writeFile(input, encodePng(picture, PngFixture{}));
    Script script;
    script.matte = leftHalfFrom(20, 15, 3);

    for (const char* name : {"cut.png", "cut.mov"}) {
        const std::string output = dir.file(name);
        const CutOutResult result = cutOut(input, output, scripted(script));
        ASSERT_EQ(result.failure, "");
        EXPECT_EQ(result.width, 40);
        EXPECT_EQ(result.height, 30);
        EXPECT_EQ(result.personTop, 0.2);

        // The segmenter saw the picture shrunk to the size it asked for.
        EXPECT_EQ(script.seen.width, 20);
        EXPECT_EQ(script.seen.height, 15);

        RgbaImage cut;
        std::string error;
        ASSERT_TRUE(decodeImage(output, cut, error)) << name << ": " << error;
        ASSERT_EQ(cut.width, 40);
        ASSERT_EQ(cut.height, 30);
        // Well inside the person: the picture's own colour, opaque.
        EXPECT_EQ(pixelAt(cut, 5, 20), pixelAt(picture, 5, 20));
        // Well inside the background: nothing at all.
        EXPECT_EQ(pixelAt(cut, 35, 20), 0u);
        EXPECT_EQ(pixelAt(cut, 5, 1), 0u);
    }
}

TEST(CutOut, ReportsTheUprightSizeOfASidewaysPhoto) {
    ScratchDir dir;
    // Stored 48 x 32 with "turn right": shown 32 wide and 48 tall.
    JpegFixture fixture;
    fixture.exifOrientation = 6;
    const std::string input = dir.file("portrait.jpeg");
    writeFile(input, encodeJpeg(makeRgba(48, 32, 0x808080FF), fixture));
    Script script;
    script.wanted = {32, 48};
    script.matte = leftHalfFrom(8, 12, 0);
    const std::string output = dir.file("cut.png");
    const CutOutResult result = cutOut(input, output, scripted(script));
    ASSERT_EQ(result.failure, "");
    EXPECT_EQ(result.width, 32);
    EXPECT_EQ(result.height, 48);
    EXPECT_EQ(script.seen.width, 32);
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(output, cut, error)) << error;
    EXPECT_EQ(cut.width, 32);
    EXPECT_EQ(cut.height, 48);
}

TEST(CutOut, NoPersonStillWritesAClearPicture) {
    ScratchDir dir;
    const std::string input = dir.file("empty-room.png");
    writeFile(input, encodePng(gradient(16, 16), PngFixture{}));
    Script script;
    script.wanted = {16, 16};
    script.matte = leftHalfFrom(16, 16, 16);  // no row qualifies; padding is 255
    const std::string output = dir.file("cut.png");
    const CutOutResult result = cutOut(input, output, scripted(script));
    ASSERT_EQ(result.failure, "");
    EXPECT_EQ(result.personTop, 1.0);
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(output, cut, error)) << error;
    for (uint8_t byte : cut.pixels) ASSERT_EQ(byte, 0);
}

Script personOnTheLeft() {
    Script script;
    script.wanted = {16, 16};
    script.matte = leftHalfFrom(16, 16, 0);
    return script;
}

// The photo named as the output, under any name: refused before anything is decoded or written.
TEST(CutOut, AnOutputThatIsTheInputIsRefused) {
    ScratchDir dir;
    const std::string path = dir.file("photo.jpg");
    const Bytes photo = encodeJpeg(makeRgba(32, 32, 0x4080C0FF), JpegFixture{});
    writeFile(path, photo);
    ASSERT_EQ(::symlink(path.c_str(), dir.file("link.png").c_str()), 0);
    ASSERT_EQ(::symlink("link.png", dir.file("link-to-link.png").c_str()), 0);
    ASSERT_EQ(::link(path.c_str(), dir.file("hard.png").c_str()), 0);
    for (const std::string& output : {path, dir.path() + "/./photo.jpg", dir.file("link.png"),
                                      dir.file("link-to-link.png"), dir.file("hard.png")}) {
        Script script = personOnTheLeft();
        const CutOutResult result = cutOut(path, output, scripted(script));
        EXPECT_EQ(result.failure, "output would overwrite the input " + path) << output;
        EXPECT_EQ(script.seen.width, 0) << "never segmented";
        EXPECT_EQ(readFile(path), photo);
    }
    // The input reached through a link is the same file too.
    Script script = personOnTheLeft();
    EXPECT_EQ(cutOut(dir.file("link.png"), path, scripted(script)).failure,
              "output would overwrite the input " + dir.file("link.png"));
    EXPECT_EQ(directoryEntries(dir.path()),
              (std::vector<std::string>{"hard.png", "link-to-link.png", "link.png", "photo.jpg"}));
}

// A failed write leaves the old output whole and no temporary file; a successful one replaces
// it (through a symbolic link, with its permission bits) or creates it with the umask's.
TEST(CutOut, TheOldOutputIsReplacedWholeOrNotAtAll) {
    ScratchDir dir;
    const std::string input = dir.file("photo.png");
    writeFile(input, encodePng(gradient(16, 16), PngFixture{}));
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    const std::string target = dir.file("real/cut.png");
    const std::string link = dir.file("cut.png");
    ASSERT_EQ(::symlink("real/cut.png", link.c_str()), 0);
    const Bytes old = {'o', 'l', 'd'};
    writeFile(target, old);
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);

    // The disk fills up half-way through the PNG.
    Script script = personOnTheLeft();
    ImageServices services = scripted(script);
    std::string writtenTo;
    services.writePng = [&](const std::string& path, const RgbaImage&, std::string& error) {
        writtenTo = path;
        writeFile(path, {'h', 'a', 'l', 'f'});
        error = "No space left on device";
        return false;
    };
    CutOutResult result = cutOut(input, link, services);
    EXPECT_EQ(result.failure, "writer: " + link + ": No space left on device");
    EXPECT_EQ(writtenTo.rfind(dir.file("real/.cut.png."), 0), 0u) << writtenTo;
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(directoryEntries(dir.file("real")), std::vector<std::string>{"cut.png"});

    result = cutOut(input, link, scripted(script));
    ASSERT_EQ(result.failure, "");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(target, cut, error)) << error;
    EXPECT_EQ(cut.width, 16);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(directoryEntries(dir.file("real")), std::vector<std::string>{"cut.png"});

    const mode_t savedMask = ::umask(027);
    result = cutOut(input, dir.file("new.png"), scripted(script));
    ::umask(savedMask);
    ASSERT_EQ(result.failure, "");
    ASSERT_EQ(::stat(dir.file("new.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A FIFO or socket at the output path is refused before any work; a character device is
// written to as it is.
TEST(CutOut, OutputsThatAreNotRegularFiles) {
    ScratchDir dir;
    const std::string input = dir.file("photo.png");
    writeFile(input, encodePng(gradient(16, 16), PngFixture{}));
    ASSERT_EQ(::mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    Script script = personOnTheLeft();
    CutOutResult result = cutOut(input, dir.file("fifo.png"), scripted(script));
    EXPECT_EQ(result.failure, "output is a FIFO, not a regular file: " + dir.file("fifo.png"));
    EXPECT_EQ(script.seen.width, 0) << "refused before segmenting";
    EXPECT_EQ(std::filesystem::status(dir.file("fifo.png")).type(),
              std::filesystem::file_type::fifo);

    if (::mknod(dir.file("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "device nodes cannot be made here (not root?)";
    }
    result = cutOut(input, dir.file("null"), scripted(script));
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.width, 16);
    EXPECT_EQ(std::filesystem::status(dir.file("null")).type(),
              std::filesystem::file_type::character);
    EXPECT_EQ(directoryEntries(dir.path()),
              (std::vector<std::string>{"fifo.png", "null", "photo.png"}));
}

// Killed while the PNG is being written: the temporary file goes, the old output stays, and the
// process ends by the signal.
TEST(CutOut, AnInterruptedWriteLeavesNothingBehind) {
    ScratchDir dir;
    const std::string input = dir.file("photo.png");
    writeFile(input, encodePng(gradient(16, 16), PngFixture{}));
    const std::string output = dir.file("cut.png");
    writeFile(output, {'o', 'l', 'd'});
    const pid_t child = ::fork();
    if (child == 0) {
        installInterruptCleanup();
        Script script = personOnTheLeft();
        ImageServices services = scripted(script);
        services.writePng = [](const std::string& path, const RgbaImage&, std::string&) {
            writeFile(path, {'h', 'a', 'l', 'f'});
            ::raise(SIGTERM);
            return true;
        };
        cutOut(input, output, services);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(readFile(output), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"cut.png", "photo.png"}));
}

TEST(CutOut, EachFailureHasItsLineAndLeavesTheOldOutputAlone) {
    ScratchDir dir;
    const std::string good = dir.file("photo.png");
    writeFile(good, encodePng(gradient(16, 16), PngFixture{}));
    const std::string bad = dir.file("x.jpg");
    writeFile(bad, {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'});
    const std::string output = dir.file("cut.png");

    struct Case {
        const char* name;
        std::string input;
        Script script;
        std::string expected;
    };
    std::vector<Case> cases;
    cases.push_back({"undecodable", bad, {}, "could not read image " + bad});
    cases.push_back({"empty file", dir.file("empty.png"), {}, ""});
    cases.back().expected = "could not read image " + cases.back().input;
    writeFile(cases.back().input, {});
    cases.push_back({"missing file", dir.file("absent.heic"), {}, ""});
    cases.back().expected = "could not read image " + cases.back().input;
    Script noModel;
    noModel.loadError = "model missing";
    cases.push_back({"segmenter does not load", good, noModel, "segmentation: model missing"});
    Script failing;
    failing.fails = true;
    failing.matte = leftHalfFrom(4, 4, 0);
    cases.push_back({"perform fails", good, failing, "segmentation: the request failed"});
    Script noMatte;  // perform succeeds with a matte of width 0
    cases.push_back({"no observation", good, noMatte, "no person mask"});

    for (const Case& c : cases) {
        writeFile(output, {'o', 'l', 'd'});
        Script script = c.script;
        const CutOutResult result = cutOut(c.input, output, scripted(script));
        EXPECT_EQ(result.failure, c.expected) << c.name;
        EXPECT_EQ(readFile(output), (Bytes{'o', 'l', 'd'})) << c.name;
    }

    Script fine;
    fine.matte = leftHalfFrom(4, 4, 0);
    const std::string unwritable = dir.file("no-such-dir/cut.png");
    const CutOutResult result = cutOut(good, unwritable, scripted(fine));
    EXPECT_EQ(result.failure.rfind("writer: ", 0), 0u) << result.failure;
    EXPECT_NE(result.failure.find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace figsplit
