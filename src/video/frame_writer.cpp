// The matte frame writer: one smoothed MatteRaster → an opaque grey BGRA frame appended to the
// movie at its own presentation time, with a "time " line on every fifth frame.
#include <chrono>
#include <cstring>
#include <thread>

#include "report/report.h"
#include "video/video_run.h"

namespace figsplit {

namespace {

// Matte byte v → the pixel bytes v, v, v, 255 (B, G, R, A) for `width` pixels.
void expandRow(const uint8_t* mask, uint8_t* row, int64_t width) {
    for (int64_t x = 0; x < width; ++x) {
        const uint32_t pixel = 0xFF000000u | static_cast<uint32_t>(mask[x]) * 0x00010101u;
        std::memcpy(row + 4 * x, &pixel, 4);  // little-endian: B, G, R, A in memory
    }
}

}  // namespace

void writeMask(VideoRun& run, const MatteRaster& mask, const MediaTime& pts) {
    const int64_t outW = run.geometry.outW;
    const int64_t outH = run.geometry.outH;

    PixelBufferPool* pool = run.writer->bufferPool();
    if (pool == nullptr) fail("writer has no pixel buffer pool");
    PixelBufferRef buffer = pool->takeBuffer();
    // A buffer without memory, or too small for the frame, is as good as none: nothing is
    // written through it.
    if (!buffer || buffer->base == nullptr || buffer->stride < 4 * outW || buffer->height < outH) {
        fail("could not allocate an output frame");
    }

    for (int64_t y = 0; y < outH; ++y) {
        expandRow(mask.data() + y * outW, buffer->base + y * buffer->stride, outW);
    }

    // Back-pressure: the encoder takes frames at its own pace.
    while (!run.writer->readyForMore()) {
        std::this_thread::sleep_for(std::chrono::microseconds(2000));
    }
    if (!run.writer->append(std::move(buffer), pts)) {
        fail("writer: " + run.writer->error().value_or("append failed"));
    }

    ++run.frames;
    if (run.frames % 5 == 0) log("time " + formatDouble(pts.seconds()));
}

}  // namespace figsplit
