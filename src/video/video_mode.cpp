// Video mode with the real platform services.
#include "video/video_mode.h"

#include "video/video_run.h"

namespace figsplit {

VideoServices realVideoServices() {
    VideoServices services;
    services.openAsset = [](const std::string& path) { return openMovieAsset(path); };
    services.makeWriter = [](const MatteWriterSettings& settings, std::string& error) {
        return makeMatteWriter(settings, error);
    };
    services.makeSegmenter = [](Quality quality, bool sequence) {
        return makeSegmenter(quality, sequence);
    };
    services.frameToUpright = [](const AVFrame& frame, Orientation orientation, int64_t width,
                                 int64_t height, FrameScaler& scaler, RgbImage& upright,
                                 std::string& error) {
        return frameToUprightRgb(frame, orientation, width, height, scaler, upright, error);
    };
    return services;
}

int runVideoMode(const Settings& settings, const std::string& inputPath,
                 const std::string& outputPath) {
    return runVideo(settings, inputPath, outputPath, realVideoServices());
}

}  // namespace figsplit
