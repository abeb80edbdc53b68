#pragma once
// Image mode's steps, behind a seam: the decoder, the segmentation service and the PNG writer
// are reached through ImageServices so that tests can put a scripted segmenter (or a failing
// decoder or writer) in their place. realImageServices() gives the real ones.
//
// cutOut() runs the whole mode and reports the outcome instead of ending the process;
// runImageMode() (image_mode.h) turns that into the status or failure lines.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/imaging/imaging.h"
#include "platform/segmenter.h"

namespace figsplit {

struct ImageServices {
    std::function<bool(const std::string& path, RgbaImage& picture, std::string& error)> decode;
    // A single-image segmenter of accurate quality.
    std::function<SegmenterResult()> makeSegmenter;
    // Writes the PNG to exactly the path given (the temporary file); false with the reason.
    std::function<bool(const std::string& path, const RgbaImage& picture, std::string& error)>
        writePng;
};

ImageServices realImageServices();

struct CutOutResult {
    std::string failure;  // the failure text; empty when the PNG was written
    int64_t width = 0;    // the upright picture's size
    int64_t height = 0;
    double personTop = 1.0;
};

// Refuses an output that is the input or cannot hold a file, decodes `inputPath` upright,
// segments it, writes the cut-out PNG over `outputPath` (only once segmentation has succeeded,
// through a temporary file) and measures the person-top fraction.
CutOutResult cutOut(const std::string& inputPath, const std::string& outputPath,
                    const ImageServices& services);

}  // namespace figsplit
