// Matte extraction: one decoded frame → its MatteRaster at the output size. Frames outside the
// ranges, and frames the segmenter cannot handle, get an all-0 matte; nothing here fails the run.
#include <cstring>

#include "video/video_run.h"

namespace figsplit {

bool insideRanges(const std::optional<std::vector<TimeRange>>& ranges, double seconds) {
    if (!ranges) return true;
    for (const TimeRange& range : *ranges) {
        if (range.start <= seconds && seconds <= range.end) return true;
    }
    return false;  // NaN fails every comparison and lands here
}

namespace {

bool usableMatte(const GreyImage& matte) {
    if (matte.width <= 0 || matte.height <= 0 || matte.stride < matte.width) return false;
    const auto needed = static_cast<size_t>(matte.stride) * static_cast<size_t>(matte.height - 1) +
                        static_cast<size_t>(matte.width);
    return matte.bytes.size() >= needed;
}

// Segments the frame and stretches the matte into greyBuffer; false when there is no matte.
bool segmentFrame(VideoRun& run, const AVFrame& frame) {
    std::string error;
    if (!run.services.frameToUpright(frame, run.geometry.frameOrientation, run.segmenterInput.width,
                                     run.segmenterInput.height, run.scaler, run.upright, error)) {
        return false;
    }
    // A failure on one frame is silent: that frame's matte is empty and the run goes on.
    if (!run.segmenter->perform(run.upright, run.matte, error)) return false;
    if (!usableMatte(run.matte)) return false;
    // Stretched to fill outW x outH, each axis on its own.
    scaleGrey(run.matte, run.greyBuffer);
    return true;
}

}  // namespace

MatteRaster maskBytes(const GreyImage& greyBuffer) {
    const auto width = static_cast<size_t>(greyBuffer.width);
    const auto height = static_cast<size_t>(greyBuffer.height);
    const auto stride = static_cast<size_t>(greyBuffer.stride);
    MatteRaster raster(width * height);
    for (size_t y = 0; y < height; ++y) {
        std::memcpy(raster.data() + y * width, greyBuffer.bytes.data() + y * stride, width);
    }
    return raster;
}

MatteRaster extractMask(VideoRun& run, const AVFrame& frame, const MediaTime& pts) {
    if (insideRanges(run.settings.ranges, pts.seconds()) && segmentFrame(run, frame)) {
        return maskBytes(run.greyBuffer);
    }
    return MatteRaster(static_cast<size_t>(run.geometry.outW * run.geometry.outH), 0);
}

}  // namespace figsplit
