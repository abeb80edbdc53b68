#pragma once
// The media service on FFmpeg: a movie asset with its video track, a decoding reader and the
// matte writer (H.264 in a QuickTime movie). These are narrow interfaces so that the video
// pipeline can be driven by test doubles that fail in chosen places.
//
// Threading: every object is used from the main flow of control only, except where a comment
// says otherwise. Implementations may run their own worker threads (the reader decodes ahead,
// the writer encodes behind) without changing any result.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media_time.h"

extern "C" {
struct AVFrame;
}

namespace figsplit {

// The track header's matrix: a, b, c, d linear part, tx, ty translation.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
};

struct Size2D {
    double width = 0;
    double height = 0;
};

struct AVFrameDeleter {
    void operator()(AVFrame* frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;

// One sample from the reader. `image` is null for a sample that carries no picture.
struct DecodedSample {
    MediaTime pts;
    FramePtr image;
};

enum class ReaderStatus : int {
    unknown = 0,
    reading = 1,
    completed = 2,
    failed = 3,
    cancelled = 4
};
enum class WriterStatus : int {
    unknown = 0,
    writing = 1,
    completed = 2,
    failed = 3,
    cancelled = 4
};

class MovieReader {
  public:
    virtual ~MovieReader() = default;
    // Begins decoding; false when the reader cannot start.
    virtual bool start() = 0;
    // The next decoded sample in presentation order; false at the end or after a failure.
    virtual bool nextSample(DecodedSample& sample) = 0;
    virtual ReaderStatus status() const = 0;
    // The library's own text for the failure, if the reader holds one.
    virtual std::optional<std::string> error() const = 0;
};

// Opaque index of a video track inside its asset.
using TrackId = int;

class MovieAsset {
  public:
    virtual ~MovieAsset() = default;
    // The video tracks in the container's order (cover art is not a video track). An empty list
    // or false (with a reason) both mean "no video track".
    virtual bool loadVideoTracks(std::vector<TrackId>& tracks, std::string& error) = 0;
    virtual bool loadDuration(MediaTime& duration, std::string& error) = 0;
    virtual bool loadPreferredTransform(TrackId track, AffineTransform& transform,
                                        std::string& error) = 0;
    virtual bool loadNaturalSize(TrackId track, Size2D& size, std::string& error) = 0;
    // A reader on `track`; null with `error` set when it cannot be made.
    virtual std::unique_ptr<MovieReader> makeReader(TrackId track, std::string& error) = 0;
};

// Never fails itself: a file that cannot be opened fails its loads.
std::unique_ptr<MovieAsset> openMovieAsset(const std::string& path);

// A 32-bit BGRA picture handed out by the writer's pool. Row y starts at base + y * stride;
// stride >= 4 * width. Returned to the pool when the last reference goes.
struct PixelBuffer {
    int64_t width = 0;
    int64_t height = 0;
    int64_t stride = 0;
    uint8_t* base = nullptr;
};
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

class PixelBufferPool {
  public:
    virtual ~PixelBufferPool() = default;
    // A recycled or new buffer of the writer's size; null when none can be had.
    virtual PixelBufferRef takeBuffer() = 0;
};

class MatteWriter {
  public:
    virtual ~MatteWriter() = default;
    // Opens the output file and starts the encoder's thread; false (with error()) on failure.
    virtual bool open() = 0;
    // The time of the first frame: the movie's timeline (and its time base) starts there.
    virtual void beginTimeline(MediaTime firstPts) = 0;
    // Null when the writer offers no pool.
    virtual PixelBufferPool* bufferPool() = 0;
    // Back-pressure: false while the encoder's queue is full.
    virtual bool readyForMore() = 0;
    // Queues one frame at `pts`; false once the writer has failed.
    virtual bool append(PixelBufferRef buffer, MediaTime pts) = 0;
    // No more frames will be appended.
    virtual void endInput() = 0;
    // Flushes the encoder and writes the trailer; `completion` runs once, on any thread.
    virtual void finish(std::function<void()> completion) = 0;
    virtual WriterStatus status() const = 0;
    virtual std::optional<std::string> error() const = 0;
};

// QuickTime movie at `path` (whatever its extension), one H.264 stream of width x height,
// 6,000,000 bit/s average, a key frame at least every 0.5 s, full-range tagged, presentation
// times passed through unchanged: the stream's time base is 1 / the timescale of the session's
// first time, and appended times are expressed in it. Null with `error` set when the writer
// cannot be made.
struct MatteWriterSettings {
    std::string path;
    int64_t width = 0;
    int64_t height = 0;
};
std::unique_ptr<MatteWriter> makeMatteWriter(const MatteWriterSettings& settings,
                                             std::string& error);

}  // namespace figsplit
