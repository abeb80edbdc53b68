// Image mode: a still picture in, a PNG cut-out with a transparent background out.
//
// decode upright → segment (one single-image perform, accurate quality) → person-top scan of
// the matte → matte stretched to the picture's size → alpha = matte × alpha → PNG → "size W H",
// "persontop F". Nothing is written to standard error before "size " unless the run fails, and
// the PNG is written only after segmentation has succeeded, to a temporary file that replaces
// the old output only once it is complete.
#include "still/image_mode.h"

#include "platform/imaging/imaging.h"
#include "platform/imaging/large_buffer.h"
#include "report/output_file.h"
#include "report/report.h"
#include "still/cut_out.h"
#include "still/image_run.h"
#include "still/person_top.h"

namespace figsplit {

ImageServices realImageServices() {
    ImageServices services;
    services.decode = decodeImage;
    services.makeSegmenter = [] { return makeSegmenter(Quality::accurate, /*sequence=*/false); };
    services.writePng = writePng;
    return services;
}

CutOutResult cutOut(const std::string& inputPath, const std::string& outputPath,
                    const ImageServices& services) {
    CutOutResult result;
    // Before any work: the output may be neither the input itself nor something that cannot
    // hold a picture (a FIFO, a socket).
    OutputFile output;
    result.failure = output.prepare(inputPath, outputPath);
    if (!result.failure.empty()) return result;

    RgbaImage picture;
    std::string error;
    if (!services.decode(inputPath, picture, error)) {
        result.failure = "could not read image " + inputPath;
        return result;
    }

    GreyImage matte;
    {
        SegmenterResult made = services.makeSegmenter();
        if (!made.segmenter) {
            result.failure = "segmentation: " + made.error;
            return result;
        }
        const ImageSize wanted = made.segmenter->inputSize(picture.width, picture.height);
        const RgbImage input = segmenterPicture(picture, wanted);
        if (!made.segmenter->perform(input, matte, error)) {
            result.failure = "segmentation: " + error;
            return result;
        }
    }  // the segmenter and its input are released before the full-size work below
    if (matte.width <= 0) {
        result.failure = "no person mask";
        return result;
    }
    result.personTop = personTop(matte);

    GreyImage scaledMatte;
    scaledMatte.width = picture.width;
    scaledMatte.height = picture.height;
    scaledMatte.stride = picture.width;
    allocatePixels(scaledMatte.bytes, static_cast<size_t>(picture.width * picture.height));
    const size_t needed =
        matte.height > 0 ? static_cast<size_t>((matte.height - 1) * matte.stride + matte.width) : 0;
    if (matte.stride < matte.width || matte.bytes.size() < needed) {
        matte = GreyImage{};  // bytes that cannot be read count as an empty matte
    }
    scaleGrey(matte, scaledMatte);
    applyMatte(picture, scaledMatte);

    // Into a temporary file beside the output, renamed over it once complete; on any failure
    // the temporary file goes (here, or through the interrupt handlers) and the old file stays.
    if (!output.begin(error) || !services.writePng(output.writePath(), picture, error) ||
        !output.commit(error)) {
        result.failure = "writer: " + outputPath + ": " + error;
        return result;
    }
    result.width = picture.width;
    result.height = picture.height;
    return result;
}

int runImageMode(const std::string& inputPath, const std::string& outputPath) {
    const CutOutResult result = cutOut(inputPath, outputPath, realImageServices());
    if (!result.failure.empty()) fail(result.failure);
    log("size " + formatInteger(result.width) + " " + formatInteger(result.height));
    log("persontop " + formatDouble(result.personTop));
    return 0;
}

}  // namespace figsplit
