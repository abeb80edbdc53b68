#include "platform/imaging/colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace figsplit {

namespace {

struct ContextDeleter {
    void operator()(cmsContext context) const { cmsDeleteContext(context); }
};
struct ProfileDeleter {
    void operator()(void* profile) const { cmsCloseProfile(static_cast<cmsHPROFILE>(profile)); }
};
struct TransformDeleter {
    void operator()(void* transform) const {
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform));
    }
};
using ContextPtr = std::unique_ptr<std::remove_pointer_t<cmsContext>, ContextDeleter>;
using ProfilePtr = std::unique_ptr<void, ProfileDeleter>;
using TransformPtr = std::unique_ptr<void, TransformDeleter>;

// lcms2 reports problems with a profile through this hook; they are handled by the return
// values, so the messages are dropped (and never reach standard error).
void ignoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

// Converting by a profile that differs from sRGB by at most one level anywhere costs time and
// changes nothing worth having.
constexpr int kIdentityTolerance = 1;

}  // namespace

struct ColourConverter::Lcms {
    ContextPtr context;      // declared first: destroyed after the transform
    TransformPtr transform;  // RGBA -> RGBA sRGB, or CMYK -> RGBA sRGB
};

ColourConverter::ColourConverter() = default;
ColourConverter::~ColourConverter() = default;

void ColourConverter::prepare(const uint8_t* profile, size_t size, Pixels pixels) {
    pixels_ = pixels;
    lcms_.reset();
    greyToRgb_.clear();
    if (profile == nullptr || size < 128) return;  // shorter than an ICC header

    auto lcms = std::make_unique<Lcms>();
    lcms->context.reset(cmsCreateContext(nullptr, nullptr));
    if (!lcms->context) return;
    cmsContext context = lcms->context.get();
    cmsSetLogErrorHandlerTHR(context, ignoreLcmsError);
    ProfilePtr source(
        cmsOpenProfileFromMemTHR(context, profile, static_cast<cmsUInt32Number>(size)));
    ProfilePtr srgb(cmsCreate_sRGBProfileTHR(context));
    if (!source || !srgb) return;
    // Held as a number: a hostile profile may carry any 32-bit value, which is no valid
    // enumerator.
    const uint32_t space = cmsGetColorSpace(source.get());

    if (pixels == Pixels::grey && space == cmsSigGrayData) {
        TransformPtr transform(cmsCreateTransformTHR(context, source.get(), TYPE_GRAY_8, srgb.get(),
                                                     TYPE_RGB_8, INTENT_PERCEPTUAL, 0));
        if (!transform) return;
        uint8_t levels[256];
        for (int i = 0; i < 256; ++i) levels[i] = static_cast<uint8_t>(i);
        std::vector<uint8_t> table(256 * 3);
        cmsDoTransform(transform.get(), levels, table.data(), 256);
        bool identity = true;
        for (int i = 0; i < 256 && identity; ++i) {
            for (int c = 0; c < 3; ++c) {
                if (std::abs(table[static_cast<size_t>(i * 3 + c)] - i) > kIdentityTolerance) {
                    identity = false;
                }
            }
        }
        if (!identity) greyToRgb_ = std::move(table);
        return;
    }

    if (pixels == Pixels::cmyk || pixels == Pixels::cmykInverted) {
        if (space != cmsSigCmykData) return;
        const cmsUInt32Number format = pixels == Pixels::cmyk ? TYPE_CMYK_8 : TYPE_CMYK_8_REV;
        lcms->transform.reset(cmsCreateTransformTHR(context, source.get(), format, srgb.get(),
                                                    TYPE_RGBA_8, INTENT_PERCEPTUAL, 0));
        if (lcms->transform) lcms_ = std::move(lcms);
        return;
    }

    // RGBA rows (grey ones too, whose R = G = B suit an RGB profile).
    if (space != cmsSigRgbData) return;
    adoptRgbTransform(std::move(lcms), source.get(), srgb.get());
}

void ColourConverter::prepareRgbPrimaries(Chromaticity red, Chromaticity green, Chromaticity blue,
                                          Chromaticity white) {
    pixels_ = Pixels::rgba;
    lcms_.reset();
    greyToRgb_.clear();
    for (const Chromaticity& c : {red, green, blue, white}) {
        if (!(c.x > 0 && c.x < 1 && c.y > 0 && c.y < 1)) return;
    }
    auto lcms = std::make_unique<Lcms>();
    lcms->context.reset(cmsCreateContext(nullptr, nullptr));
    if (!lcms->context) return;
    cmsContext context = lcms->context.get();
    cmsSetLogErrorHandlerTHR(context, ignoreLcmsError);
    // The sRGB curve: gamma 2.4 with a linear toe (IEC 61966-2-1).
    const cmsFloat64Number srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(context, 4, srgbCurve);
    if (curve == nullptr) return;
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const cmsCIExyY whitePoint = {white.x, white.y, 1.0};
    const cmsCIExyYTRIPLE primaries = {
        {red.x, red.y, 1.0}, {green.x, green.y, 1.0}, {blue.x, blue.y, 1.0}};
    ProfilePtr source(cmsCreateRGBProfileTHR(context, &whitePoint, &primaries, curves));
    cmsFreeToneCurve(curve);
    ProfilePtr srgb(cmsCreate_sRGBProfileTHR(context));
    if (!source || !srgb) return;
    adoptRgbTransform(std::move(lcms), source.get(), srgb.get());
}

void ColourConverter::adoptRgbTransform(std::unique_ptr<Lcms> lcms, void* source, void* srgb) {
    lcms->transform.reset(cmsCreateTransformTHR(lcms->context.get(), source, TYPE_RGBA_8, srgb,
                                                TYPE_RGBA_8, INTENT_PERCEPTUAL,
                                                cmsFLAGS_COPY_ALPHA));
    if (!lcms->transform) return;
    // Sample the colour cube; a profile that maps it onto itself is sRGB in all but name.
    constexpr int kSteps = 18;  // 0, 15, ..., 255
    std::vector<uint8_t> samples;
    samples.reserve(kSteps * kSteps * kSteps * 4);
    for (int r = 0; r < kSteps; ++r)
        for (int g = 0; g < kSteps; ++g)
            for (int b = 0; b < kSteps; ++b) {
                samples.insert(samples.end(),
                               {static_cast<uint8_t>(r * 15), static_cast<uint8_t>(g * 15),
                                static_cast<uint8_t>(b * 15), 255});
            }
    std::vector<uint8_t> converted(samples.size());
    cmsDoTransform(lcms->transform.get(), samples.data(), converted.data(),
                   static_cast<cmsUInt32Number>(samples.size() / 4));
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(converted[i] - samples[i]) > kIdentityTolerance) {
            lcms_ = std::move(lcms);
            return;
        }
    }
}

bool ColourConverter::active() const {
    return lcms_ != nullptr || !greyToRgb_.empty();
}

void ColourConverter::convertRgba(uint8_t* rgba, int64_t count) {
    if (!greyToRgb_.empty()) {
        for (int64_t i = 0; i < count; ++i) {
            const uint8_t* rgb = greyToRgb_.data() + rgba[i * 4] * 3;
            rgba[i * 4] = rgb[0];
            rgba[i * 4 + 1] = rgb[1];
            rgba[i * 4 + 2] = rgb[2];
        }
        return;
    }
    if (!lcms_) return;
    scratch_.resize(static_cast<size_t>(count * 4));
    std::memcpy(scratch_.data(), rgba, scratch_.size());
    cmsDoTransform(lcms_->transform.get(), scratch_.data(), rgba,
                   static_cast<cmsUInt32Number>(count));
}

void ColourConverter::convertCmyk(const uint8_t* cmyk, uint8_t* rgba, int64_t count) {
    if (lcms_) {
        cmsDoTransform(lcms_->transform.get(), cmyk, rgba, static_cast<cmsUInt32Number>(count));
        for (int64_t i = 0; i < count; ++i) rgba[i * 4 + 3] = 255;
        return;
    }
    // No usable profile: the plain formula, each of C, M and Y darkened by K.
    const bool inverted = pixels_ == Pixels::cmykInverted;
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* p = cmyk + i * 4;
        const uint32_t k = inverted ? p[3] : 255u - p[3];
        for (int c = 0; c < 3; ++c) {
            const uint32_t v = inverted ? p[c] : 255u - p[c];
            rgba[i * 4 + c] = static_cast<uint8_t>((v * k + 127) / 255);
        }
        rgba[i * 4 + 3] = 255;
    }
}

}  // namespace figsplit
