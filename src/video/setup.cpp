// Reader and writer set-up: builds, in a fixed order, every long-lived object of the frame loop.
// The writer writes to a temporary file beside the output; everything built here lasts the run.
#include <algorithm>
#include <cmath>
#include <new>

#include "report/report.h"
#include "video/video_run.h"

namespace figsplit {

namespace {

// A display side as a pixel count for the segmenter (positive and finite after the geometry).
int64_t pixelSide(double side) {
    return static_cast<int64_t>(std::clamp(std::round(side), 1.0, 1048576.0));
}

// The render target: outW x outH, rows padded to a multiple of 64 bytes. Sizes beyond what a
// picture in memory may hold are refused like a failed allocation.
bool allocateGreyBuffer(GreyImage& buffer, int64_t width, int64_t height) {
    constexpr int64_t kAlign = 64;
    if (width <= 0 || height <= 0 || width > kMaxImagePixels || height > kMaxImagePixels ||
        width * height > kMaxImagePixels) {
        return false;
    }
    const int64_t stride = (width + kAlign - 1) / kAlign * kAlign;
    try {
        buffer.bytes.assign(static_cast<size_t>(stride * height), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    buffer.width = width;
    buffer.height = height;
    buffer.stride = stride;
    return true;
}

}  // namespace

void setupReaderAndWriter(VideoRun& run) {
    const int64_t outW = run.geometry.outW;
    const int64_t outH = run.geometry.outH;

    // Reader on the probed track.
    std::string error;
    run.reader = run.asset->makeReader(*run.loadedTrack, error);
    if (!run.reader) fail("reader: " + error);

    // The output: never the input itself, never a FIFO or anything else that cannot hold a
    // movie. An old file stays untouched until the finished movie is renamed over it.
    const std::string refusal = run.output.prepare(run.inputPath, run.outputPath);
    if (!refusal.empty()) fail(refusal);
    if (!run.output.begin(error)) fail("writer: " + error);

    // Writer: a QuickTime movie whatever the output's extension, written to the temporary file
    // (or straight to a character device).
    error.clear();
    run.writer =
        run.services.makeWriter(MatteWriterSettings{run.output.writePath(), outW, outH}, error);
    if (!run.writer) fail("writer: " + error);

    if (!run.reader->start()) {
        fail("reader: " + run.reader->error().value_or("start failed"));
    }
    if (!run.writer->open()) {
        fail("writer: " + run.writer->error().value_or("start failed"));
    }

    // One sequence segmenter serves every frame. A model that cannot be loaded ends the run here
    // rather than leaving an all-black movie.
    SegmenterResult segmentation = run.services.makeSegmenter(run.settings.quality, true);
    if (!segmentation.segmenter) fail("segmentation: " + segmentation.error);
    run.segmenter = std::move(segmentation.segmenter);
    run.segmenterInput = run.segmenter->inputSize(pixelSide(run.geometry.displayW),
                                                  pixelSide(run.geometry.displayH));

    if (!allocateGreyBuffer(run.greyBuffer, outW, outH)) fail("could not allocate a mask buffer");

    run.frames = 0;
    run.history.history.clear();
    run.history.historyStart = 0;
    run.history.decoded = 0;
    run.history.nextEmit = 0;
    run.history.smoothRadius = run.settings.smoothRadius;
    run.sessionStarted = false;
}

}  // namespace figsplit
