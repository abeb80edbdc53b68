#pragma once
// Helpers for the end-to-end tests of video mode: running the figsplit binary, making movies with
// the ffmpeg command-line tool, and reading back what ffprobe reports about a movie.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace figsplit::testing {

struct ProgramRun {
    int exitStatus = -1;  // 128 + signal number when killed
    std::string stdoutText;
    std::string stderrText;
};

// Runs `program` with `arguments` (no shell), capturing both output streams.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments);

// `ffmpeg -y -v error` + arguments through the shell, for two minutes at most; true when it
// succeeds.
bool ffmpeg(const std::string& arguments);

// Standard output of a shell command.
std::string shellOutput(const std::string& command);

// A rational time compared exactly.
struct Rational {
    int64_t num = 0;
    int64_t den = 1;
    double seconds() const { return static_cast<double>(num) / static_cast<double>(den); }
    friend bool operator==(const Rational& x, const Rational& y) {
        return static_cast<__int128>(x.num) * y.den == static_cast<__int128>(y.num) * x.den;
    }
};

struct ProbedFrame {
    Rational time;  // pts (else the best-effort timestamp) in the stream's time base
    bool key = false;
};

// What ffprobe reports about a movie's container and its first video stream.
struct MovieFacts {
    std::string formatName;
    std::string majorBrand;
    double duration = 0;  // the container's, in seconds
    std::string codec;
    int64_t width = 0;
    int64_t height = 0;
    bool hasDisplayMatrix = false;
    std::vector<ProbedFrame> frames;  // in presentation order, as decoded
};
MovieFacts probeMovie(const std::string& path);

// Every frame of the movie's first video stream as packed RGB (width x height x 3 bytes).
std::vector<std::vector<uint8_t>> decodeRgbFrames(const std::string& path, int64_t width,
                                                  int64_t height);

// A fresh directory, removed with its contents by the destructor.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// The figsplit binary under test.
ProgramRun figsplit(const std::vector<std::string>& arguments);

// `path` quoted for the shell.
std::string q(const std::string& path);

// The last line of `text`, without its line feed; empty unless `text` ends with one.
std::string lastLine(const std::string& text);

// A scratch directory and movies made in it with the ffmpeg tool.
class MovieFixture : public ::testing::Test {
  protected:
    // `ffmpeg <arguments> <dir>/name`; the path made.
    std::string make(const std::string& name, const std::string& ffmpegArguments);
    // Seconds of the moving test pattern at 25 frames per second, encoded as given.
    std::string testPattern(const std::string& name, const std::string& size, double seconds,
                            const std::string& encoding);

    ScratchDirectory dir_;
};

}  // namespace figsplit::testing
