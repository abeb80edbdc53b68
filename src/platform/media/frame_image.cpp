// Decoded frame -> upright RGB at the segmenter's size. Scaling first and turning afterwards
// keeps the turn on the small picture.
#include "platform/media/frame_image.h"

#include <algorithm>

#include "platform/media/av_handles.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace figsplit {
namespace {

constexpr int64_t kMaxSide = 1 << 15;
// For the RGB pass. With YUV 4:2:0 in and no scaling, swscale takes its vector converter; when
// it has to scale into packed RGB, full chroma interpolation keeps it on its exact path (its
// table-driven packed RGB output is off by up to two levels at the top of the limited range).
constexpr int kScaleFlags = SWS_BILINEAR | SWS_FULL_CHR_H_INT;

bool isFullRange(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG) return true;
    switch (frame.format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            return false;
    }
}

// swscale's colour-matrix numbers are those of AVColorSpace; the ones it has no table for, and
// "RGB" on a YUV frame, fall back to its default (BT.601).
int swsColorspace(int colorspace) {
    if (colorspace <= AVCOL_SPC_RGB || colorspace > AVCOL_SPC_BT2020_CL ||
        colorspace == AVCOL_SPC_YCGCO) {
        return SWS_CS_DEFAULT;
    }
    return colorspace;
}

bool isYuv(AVPixelFormat format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    return descriptor != nullptr && descriptor->nb_components >= 3 &&
           !(descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL |
                                  AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER));
}

bool buildScaler(const AVFrame& frame, int targetWidth, int targetHeight, FrameScaler& scaler,
                 std::string& error) {
    media::quietLibraryLog();
    scaler.context.reset();
    scaler.planeScaler.reset();
    scaler.sourceFormat = -1;
    const auto format = static_cast<AVPixelFormat>(frame.format);
    if (format < 0 || !sws_isSupportedInput(format)) {
        const char* name = av_get_pix_fmt_name(format);
        error = std::string("unsupported pixel format ") + (name ? name : "(none)");
        return false;
    }
    AVPixelFormat rgbSource = format;
    int rgbSourceWidth = frame.width, rgbSourceHeight = frame.height;
    if (isYuv(format)) {
        scaler.planeScaler.reset(sws_getContext(frame.width, frame.height, format, targetWidth,
                                                targetHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                                nullptr, nullptr, nullptr));
        rgbSource = AV_PIX_FMT_YUV420P;
        rgbSourceWidth = targetWidth;
        rgbSourceHeight = targetHeight;
        const int chromaWidth = (targetWidth + 1) / 2, chromaHeight = (targetHeight + 1) / 2;
        scaler.planeStride[0] = (targetWidth + 63) / 64 * 64;
        scaler.planeStride[1] = scaler.planeStride[2] = (chromaWidth + 63) / 64 * 64;
        scaler.planes.resize(static_cast<size_t>(int64_t{scaler.planeStride[0]} * targetHeight +
                                                 2 * int64_t{scaler.planeStride[1]} * chromaHeight +
                                                 64));
    }
    scaler.context.reset(sws_getContext(rgbSourceWidth, rgbSourceHeight, rgbSource, targetWidth,
                                        targetHeight, AV_PIX_FMT_RGB24, kScaleFlags, nullptr,
                                        nullptr, nullptr));
    if (!scaler.context || (isYuv(format) && !scaler.planeScaler)) {
        scaler.context.reset();
        scaler.planeScaler.reset();
        error = "cannot scale " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                " " + av_get_pix_fmt_name(format) + " to " + std::to_string(targetWidth) + "x" +
                std::to_string(targetHeight) + " RGB";
        return false;
    }
    scaler.sourceWidth = frame.width;
    scaler.sourceHeight = frame.height;
    scaler.sourceFormat = frame.format;
    scaler.sourceColorspace = -1;
    scaler.sourceFullRange = -1;
    scaler.targetWidth = targetWidth;
    scaler.targetHeight = targetHeight;
    scaler.storedStride = (int64_t{targetWidth} * 3 + 63) / 64 * 64;
    scaler.stored.resize(static_cast<size_t>(scaler.storedStride * targetHeight + 64));
    return true;
}

}  // namespace

bool frameToUprightRgb(const AVFrame& frame, Orientation orientation, int64_t width, int64_t height,
                       FrameScaler& scaler, RgbImage& upright, std::string& error) {
    if (orientation != Orientation::up && orientation != Orientation::down &&
        orientation != Orientation::right && orientation != Orientation::left) {
        error = "unsupported orientation " + std::to_string(tagValue(orientation));
        return false;
    }
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        error = "unsupported picture size " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    if (frame.width < 1 || frame.height < 1 || frame.data[0] == nullptr) {
        error = "the frame holds no picture";
        return false;
    }
    const bool quarter = swapsAxes(orientation);
    const int targetWidth = static_cast<int>(quarter ? height : width);
    const int targetHeight = static_cast<int>(quarter ? width : height);

    if (!scaler.context || scaler.sourceWidth != frame.width ||
        scaler.sourceHeight != frame.height || scaler.sourceFormat != frame.format ||
        scaler.targetWidth != targetWidth || scaler.targetHeight != targetHeight) {
        if (!buildScaler(frame, targetWidth, targetHeight, scaler, error)) return false;
    }

    const int fullRange = isFullRange(frame) ? 1 : 0;
    if (scaler.sourceColorspace != frame.colorspace || scaler.sourceFullRange != fullRange) {
        const int* matrix = sws_getCoefficients(swsColorspace(frame.colorspace));
        const int* rgb = sws_getCoefficients(SWS_CS_DEFAULT);
        if (scaler.planeScaler) {
            // Scaling the planes keeps their range; the RGB pass honours range and matrix.
            sws_setColorspaceDetails(scaler.planeScaler.get(), matrix, fullRange, matrix, fullRange,
                                     0, 1 << 16, 1 << 16);
        }
        // Fails harmlessly for RGB sources, which have no matrix or range to honour.
        sws_setColorspaceDetails(scaler.context.get(), matrix, fullRange, rgb, 1, 0, 1 << 16,
                                 1 << 16);
        scaler.sourceColorspace = frame.colorspace;
        scaler.sourceFullRange = fullRange;
    }

    const uint8_t* const* source = frame.data;
    const int* sourceStride = frame.linesize;
    int sourceHeight = frame.height;
    uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    if (scaler.planeScaler) {
        uint8_t* base = scaler.planes.data();
        const int64_t lumaBytes = int64_t{scaler.planeStride[0]} * targetHeight;
        const int64_t chromaBytes = int64_t{scaler.planeStride[1]} * ((targetHeight + 1) / 2);
        planes[0] = base;
        planes[1] = base + lumaBytes;
        planes[2] = base + lumaBytes + chromaBytes;
        if (sws_scale(scaler.planeScaler.get(), frame.data, frame.linesize, 0, frame.height, planes,
                      scaler.planeStride) != targetHeight) {
            error = "scaling the frame failed";
            return false;
        }
        source = planes;
        sourceStride = scaler.planeStride;
        sourceHeight = targetHeight;
    }
    uint8_t* destination[4] = {scaler.stored.data(), nullptr, nullptr, nullptr};
    int destinationStride[4] = {static_cast<int>(scaler.storedStride), 0, 0, 0};
    const int rows = sws_scale(scaler.context.get(), source, sourceStride, 0, sourceHeight,
                               destination, destinationStride);
    if (rows != targetHeight) {
        error = "scaling the frame failed";
        return false;
    }
    upright.width = width;
    upright.height = height;
    upright.pixels.resize(static_cast<size_t>(width * height * 3));
    placeStoredRows(scaler.stored.data(), scaler.storedStride, 0, targetHeight, targetWidth,
                    targetHeight, 3, orientation, upright.pixels.data());
    return true;
}

}  // namespace figsplit
