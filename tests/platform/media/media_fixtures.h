#pragma once
// Helpers for the media tests: a scratch directory, movies made with the ffmpeg command-line
// tool, what ffprobe and libavformat report about a movie, and re-muxing with a chosen display
// matrix.
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/media_time.h"

namespace figsplit::testing {

// A fresh directory, removed with everything in it at the end of the scope.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Runs `ffmpeg -y -hide_banner -loglevel error <arguments>`; true when it exits with status 0.
bool ffmpeg(const std::string& arguments);
// Standard output of a shell command.
std::string commandOutput(const std::string& command);

// A rational time, compared exactly.
struct Rational {
    int64_t num = 0;
    int64_t den = 1;
    double seconds() const { return static_cast<double>(num) / static_cast<double>(den); }
    friend bool operator==(const Rational& x, const Rational& y) {
        return static_cast<__int128>(x.num) * y.den == static_cast<__int128>(y.num) * x.den;
    }
};
Rational toRational(const MediaTime& time);

// One video frame as ffprobe decodes it: its presentation time (pts, else the best-effort
// timestamp) and whether it is a key frame.
struct ProbedFrame {
    Rational time;
    bool key = false;
};
std::vector<ProbedFrame> probeFrames(const std::string& path);

// The `key=value` fields of `ffprobe -show_streams -show_format`: those of the first video
// stream as they are, the container's with the prefix "format.".
std::map<std::string, std::string> probeFields(const std::string& path);

// Copies every stream of `input` into the QuickTime movie `output`, giving the first video
// stream the display matrix `matrix` (nine entries as libavutil stores them).
bool remuxWithMatrix(const std::string& input, const std::string& output,
                     const std::array<int32_t, 9>& matrix);

// Writes `bytes` random bytes (fixed seed) to `path`.
void writeRandomFile(const std::string& path, size_t bytes, uint32_t seed);

}  // namespace figsplit::testing
