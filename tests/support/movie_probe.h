#pragma once
// What the ffprobe and ffmpeg command-line tools report about a movie: frame times compared
// exactly, stream and container fields, and decoded frames.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/media_time.h"

namespace figsplit::testing {

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
// timestamp) in the stream's time base, and whether it is a key frame.
struct ProbedFrame {
    Rational time;
    bool key = false;
};

// The frames of the first video stream, in the order ffprobe decodes them.
std::vector<ProbedFrame> probeFrames(const std::string& path);

// The `key=value` fields of `ffprobe -show_streams -show_format`: those of the first video
// stream as they are, the container's with the prefix "format.".
std::map<std::string, std::string> probeFields(const std::string& path);

// What ffprobe reports about a movie's container and its first video stream.
struct MovieFacts {
    std::string formatName;
    std::string majorBrand;
    double duration = 0;  // the container's, in seconds
    std::string codec;
    int64_t width = 0;
    int64_t height = 0;
    bool hasDisplayMatrix = false;
    std::vector<ProbedFrame> frames;  // as probeFrames
};
MovieFacts probeMovie(const std::string& path);

// Every frame of the movie's first video stream as packed RGB (width x height x 3 bytes).
std::vector<std::vector<uint8_t>> decodeRgbFrames(const std::string& path, int64_t width,
                                                  int64_t height);

}  // namespace figsplit::testing
