#pragma once
// The state of one video run and the steps that fill it, in the order the driver runs them:
// probeSource → geometryStep → setupReaderAndWriter → runFrameLoop (which calls extractMask and,
// through the frame history, writeMask).
//
// Ownership: one VideoRun per run, created by the driver and passed explicitly to every step. A
// step sets its own fields once; later steps only read them, except the counters (`frames`,
// `sessionStarted`) and the frame history, which the frame loop and the frame writer advance.
//
// Threading: everything runs on the caller's thread, except the two probing tasks and the
// writer's finish completion, which only store their results and release `semaphore`.
//
// Every failure ends the process through fail(); no step returns an error.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

#include "platform/image.h"
#include "platform/imaging/imaging.h"
#include "platform/media/frame_image.h"
#include "platform/media/movie.h"
#include "platform/media_time.h"
#include "platform/segmenter.h"
#include "report/output_file.h"
#include "report/settings.h"
#include "smoothing/emission.h"

namespace figsplit {

// The platform objects a run needs, reached through factories so that tests can substitute
// readers, writers and segmenters that fail where a test wants. realVideoServices() gives the
// FFmpeg media service and the real segmentation service.
struct VideoServices {
    std::function<std::unique_ptr<MovieAsset>(const std::string& path)> openAsset;
    std::function<std::unique_ptr<MatteWriter>(const MatteWriterSettings& settings,
                                               std::string& error)>
        makeWriter;
    std::function<SegmenterResult(Quality quality, bool sequence)> makeSegmenter;
    // Decoded frame → upright RGB picture of width x height (see frameToUprightRgb).
    std::function<bool(const AVFrame& frame, Orientation orientation, int64_t width, int64_t height,
                       FrameScaler& scaler, RgbImage& upright, std::string& error)>
        frameToUpright;
};

VideoServices realVideoServices();

// What the output geometry decides: how to turn the stored frames upright and the matte size.
struct OutputGeometry {
    Orientation frameOrientation = Orientation::up;
    bool rotated = false;
    double displayW = 0;
    double displayH = 0;
    double scale = 1;
    int64_t outW = 0;  // even, at least 2
    int64_t outH = 0;  // even, at least 2
};

struct VideoRun {
    VideoRun(Settings runSettings, std::string input, std::string output, VideoServices runServices)
        : settings(std::move(runSettings)),
          inputPath(std::move(input)),
          outputPath(std::move(output)),
          services(std::move(runServices)) {}
    VideoRun(const VideoRun&) = delete;
    VideoRun& operator=(const VideoRun&) = delete;

    Settings settings;
    std::string inputPath;
    std::string outputPath;
    VideoServices services;

    // Joins the asynchronous work (probing tasks, the writer's finish) to the main flow. Shared
    // with each task so that a task still returning from its release never outlives it.
    std::shared_ptr<std::counting_semaphore<>> semaphore;

    // Source probing.
    std::unique_ptr<MovieAsset> asset;
    std::optional<TrackId> loadedTrack;
    MediaTime loadedDuration = MediaTime::zero();
    AffineTransform transform;
    Size2D naturalSize;

    // Output geometry.
    OutputGeometry geometry;

    // Reader and writer set-up. The writer is declared after the semaphore and the output file
    // so that it (and any thread of its own) goes first when the run is destroyed; an output
    // never committed is then removed.
    OutputFile output;
    std::unique_ptr<MovieReader> reader;
    std::unique_ptr<MatteWriter> writer;
    std::unique_ptr<Segmenter> segmenter;
    ImageSize segmenterInput;  // the size the segmenter wants the upright frame at
    GreyImage greyBuffer;      // outW x outH, padded rows; the scaled matte of the current frame

    // Per-frame scratch reused from frame to frame.
    FrameScaler scaler;
    RgbImage upright;
    GreyImage matte;

    // Loop state.
    FrameHistory history;
    int64_t frames = 0;
    bool sessionStarted = false;
};

// Output geometry.
Orientation orientation(const AffineTransform& transform);
int64_t even(double x);
// Null when the display size is not positive ("could not read video dimensions").
std::optional<OutputGeometry> computeGeometry(const AffineTransform& transform,
                                              const Size2D& naturalSize, int64_t longEdge);
std::string durationLine(const MediaTime& duration);
std::string sizeLine(const OutputGeometry& geometry);
void geometryStep(VideoRun& run);

// Source probing: asset, video track, duration, transform and natural size.
void probeSource(VideoRun& run);

// Reader, output file, writer, segmenter and render target, in that order. The writer fills a
// temporary file that the frame loop renames over the output once the movie is finished.
void setupReaderAndWriter(VideoRun& run);

// Whether a frame at `seconds` is to be segmented: always without ranges, else when some range
// holds it (bounds inclusive; NaN is outside every range).
bool insideRanges(const std::optional<std::vector<TimeRange>>& ranges, double seconds);

// One decoded frame → its MatteRaster of outW x outH bytes (all 0 for a gated frame or a failed
// or empty segmentation).
MatteRaster extractMask(VideoRun& run, const AVFrame& frame, const MediaTime& pts);
// Copies greyBuffer's rows (honouring its stride) into a new packed MatteRaster.
MatteRaster maskBytes(const GreyImage& greyBuffer);

// Appends one smoothed matte as an opaque grey BGRA frame at `pts`; "time " every fifth frame.
void writeMask(VideoRun& run, const MatteRaster& mask, const MediaTime& pts);

// Pulls every sample, writes the mattes, finishes the movie. Returns 0 after "frames N".
int runFrameLoop(VideoRun& run);

// The whole of video mode with the given services.
int runVideo(const Settings& settings, const std::string& inputPath, const std::string& outputPath,
             VideoServices services);

}  // namespace figsplit
