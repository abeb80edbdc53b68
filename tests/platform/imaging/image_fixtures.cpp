#include "image_fixtures.h"

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <lcms2.h>
#include <libheif/heif.h>
#include <png.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace figsplit::testing {

RgbaImage makeRgba(int64_t width, int64_t height, uint32_t rgba) {
    RgbaImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width * height * 4));
    fillRect(image, 0, 0, width, height, rgba);
    return image;
}

uint32_t pixelAt(const RgbaImage& image, int64_t x, int64_t y) {
    const uint8_t* p = image.pixels.data() + (y * image.width + x) * 4;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void setPixel(RgbaImage& image, int64_t x, int64_t y, uint32_t rgba) {
    uint8_t* p = image.pixels.data() + (y * image.width + x) * 4;
    p[0] = static_cast<uint8_t>(rgba >> 24);
    p[1] = static_cast<uint8_t>(rgba >> 16);
    p[2] = static_cast<uint8_t>(rgba >> 8);
    p[3] = static_cast<uint8_t>(rgba);
}

void fillRect(RgbaImage& image, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t rgba) {
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x) setPixel(image, x, y, rgba);
}

Bytes exifWithOrientation(uint16_t orientation, bool bigEndian) {
    auto u16 = [&](Bytes& out, uint16_t v) {
        if (bigEndian) {
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        } else {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
    };
    auto u32 = [&](Bytes& out, uint32_t v) {
        if (bigEndian) {
            u16(out, static_cast<uint16_t>(v >> 16));
            u16(out, static_cast<uint16_t>(v));
        } else {
            u16(out, static_cast<uint16_t>(v));
            u16(out, static_cast<uint16_t>(v >> 16));
        }
    };
    Bytes tiff;
    tiff.push_back(bigEndian ? 'M' : 'I');
    tiff.push_back(bigEndian ? 'M' : 'I');
    u16(tiff, 42);
    u32(tiff, 8);            // IFD0 right after the header
    u16(tiff, 1);            // one entry
    u16(tiff, 0x0112);       // Orientation
    u16(tiff, 3);            // SHORT
    u32(tiff, 1);            // one value
    u16(tiff, orientation);  // the value, left-justified in the 4-byte field
    u16(tiff, 0);
    u32(tiff, 0);  // no next IFD
    return tiff;
}

namespace {

Bytes saveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

}  // namespace

Bytes linearRgbProfile() {
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(linear);
    return saveProfile(profile);
}

Bytes linearGreyProfile() {
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), linear);
    cmsFreeToneCurve(linear);
    return saveProfile(profile);
}

Bytes srgbProfile() {
    return saveProfile(cmsCreate_sRGBProfile());
}

// ---------------------------------------------------------------------------------------- PNG

namespace {

void appendBytes(png_structp png, png_bytep data, size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void noFlush(png_structp) {}

uint16_t onDepth(uint8_t value, int depth) {
    if (depth == 16) return static_cast<uint16_t>(value * 257);
    const int top = (1 << depth) - 1;
    return static_cast<uint16_t>((value * top + 127) / 255);
}

}  // namespace

Bytes encodePng(const RgbaImage& image, const PngFixture& fixture) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendBytes, noFlush);

    const int width = static_cast<int>(image.width), height = static_cast<int>(image.height);
    int colourType = PNG_COLOR_TYPE_RGB_ALPHA;
    int channels = 4;
    switch (fixture.kind) {
        case PngKind::grey:
            colourType = PNG_COLOR_TYPE_GRAY;
            channels = 1;
            break;
        case PngKind::greyAlpha:
            colourType = PNG_COLOR_TYPE_GRAY_ALPHA;
            channels = 2;
            break;
        case PngKind::palette:
            colourType = PNG_COLOR_TYPE_PALETTE;
            channels = 1;
            break;
        case PngKind::rgb:
            colourType = PNG_COLOR_TYPE_RGB;
            channels = 3;
            break;
        case PngKind::rgba:
            break;
    }
    png_set_IHDR(png, info, width, height, fixture.bitDepth, colourType,
                 fixture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);

    std::vector<uint32_t> palette;  // 0xRRGGBBAA
    if (fixture.kind == PngKind::palette) {
        for (int64_t i = 0; i < image.width * image.height; ++i) {
            const uint32_t c = pixelAt(image, i % image.width, i / image.width);
            if (std::find(palette.begin(), palette.end(), c) == palette.end()) palette.push_back(c);
        }
        std::vector<png_color> entries;
        std::vector<png_byte> alphas;
        for (uint32_t c : palette) {
            entries.push_back({static_cast<png_byte>(c >> 24), static_cast<png_byte>(c >> 16),
                               static_cast<png_byte>(c >> 8)});
            alphas.push_back(static_cast<png_byte>(c));
        }
        png_set_PLTE(png, info, entries.data(), static_cast<int>(entries.size()));
        if (fixture.transparencyChunk) {
            png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
        }
    } else if (fixture.transparencyChunk) {
        for (int64_t i = 0; i < image.width * image.height; ++i) {
            const uint32_t c = pixelAt(image, i % image.width, i / image.width);
            if ((c & 0xFF) != 0) continue;
            png_color_16 key{};
            key.gray = onDepth(static_cast<uint8_t>(c >> 24), fixture.bitDepth);
            key.red = onDepth(static_cast<uint8_t>(c >> 24), fixture.bitDepth);
            key.green = onDepth(static_cast<uint8_t>(c >> 16), fixture.bitDepth);
            key.blue = onDepth(static_cast<uint8_t>(c >> 8), fixture.bitDepth);
            png_set_tRNS(png, info, nullptr, 0, &key);
            break;
        }
    }
    if (!fixture.iccProfile.empty()) {
        png_set_iCCP(png, info, "test", PNG_COMPRESSION_TYPE_BASE, fixture.iccProfile.data(),
                     static_cast<png_uint_32>(fixture.iccProfile.size()));
    }
    Bytes exif;
    if (fixture.exifOrientation != 0) {
        exif = exifWithOrientation(static_cast<uint16_t>(fixture.exifOrientation));
    }
    if (!exif.empty() && !fixture.exifAfterPixels) {
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
    }
    png_write_info(png, info);
    if (fixture.bitDepth < 8) png_set_packing(png);
    if (fixture.bitDepth == 16) png_set_swap(png);  // rows below are little-endian

    const int bytesPerSample = fixture.bitDepth == 16 ? 2 : 1;
    std::vector<std::vector<png_byte>> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        auto& row = rows[static_cast<size_t>(y)];
        row.resize(static_cast<size_t>(width * channels * bytesPerSample));
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixelAt(image, x, y);
            uint16_t samples[4] = {};
            const uint8_t r = static_cast<uint8_t>(c >> 24), g = static_cast<uint8_t>(c >> 16),
                          b = static_cast<uint8_t>(c >> 8), a = static_cast<uint8_t>(c);
            switch (fixture.kind) {
                case PngKind::grey:
                    samples[0] = onDepth(r, fixture.bitDepth);
                    break;
                case PngKind::greyAlpha:
                    samples[0] = onDepth(r, fixture.bitDepth);
                    samples[1] = onDepth(a, fixture.bitDepth);
                    break;
                case PngKind::palette:
                    samples[0] = static_cast<uint16_t>(
                        std::find(palette.begin(), palette.end(), c) - palette.begin());
                    break;
                case PngKind::rgb:
                case PngKind::rgba:
                    samples[0] = onDepth(r, fixture.bitDepth);
                    samples[1] = onDepth(g, fixture.bitDepth);
                    samples[2] = onDepth(b, fixture.bitDepth);
                    samples[3] = onDepth(a, fixture.bitDepth);
                    break;
            }
            for (int s = 0; s < channels; ++s) {
                const size_t at = static_cast<size_t>((x * channels + s) * bytesPerSample);
                if (bytesPerSample == 2) {
                    row[at] = static_cast<png_byte>(samples[s]);
                    row[at + 1] = static_cast<png_byte>(samples[s] >> 8);
                } else {
                    row[at] = static_cast<png_byte>(samples[s]);
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    if (!exif.empty() && fixture.exifAfterPixels) {
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// --------------------------------------------------------------------------------------- JPEG

Bytes encodeJpeg(const RgbaImage& image, const JpegFixture& fixture) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);

    const bool inks = fixture.kind == JpegKind::cmyk || fixture.kind == JpegKind::ycck;
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = fixture.kind == JpegKind::grey ? 1 : inks ? 4 : 3;
    info.in_color_space = fixture.kind == JpegKind::grey ? JCS_GRAYSCALE
                          : inks                         ? JCS_CMYK
                                                         : JCS_RGB;
    jpeg_set_defaults(&info);
    if (fixture.kind == JpegKind::cmyk) jpeg_set_colorspace(&info, JCS_CMYK);
    if (fixture.kind == JpegKind::ycck) jpeg_set_colorspace(&info, JCS_YCCK);
    if (inks) info.write_Adobe_marker = fixture.adobeMarker ? TRUE : FALSE;
    jpeg_set_quality(&info, fixture.quality, TRUE);
    if (fixture.progressive) jpeg_simple_progression(&info);
    std::vector<jpeg_scan_info> scans;
    if (fixture.singleCoefficientScans != 0) {
        const bool refine = fixture.singleCoefficientScans > 64;
        scans.push_back({1, {0}, 0, 0, 0, 0});  // DC
        for (int k = 1; k < 64; ++k) scans.push_back({1, {0}, k, k, 0, refine ? 1 : 0});
        if (refine) {
            for (int k = 1; k < 64; ++k) scans.push_back({1, {0}, k, k, 1, 0});
        }
        info.scan_info = scans.data();
        info.num_scans = static_cast<int>(scans.size());
    }
    // Full-resolution chroma keeps colour edges on the test's block boundaries.
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    if (fixture.exifOrientation != 0) {
        Bytes segment = {'E', 'x', 'i', 'f', 0, 0};
        const Bytes tiff = exifWithOrientation(static_cast<uint16_t>(fixture.exifOrientation),
                                               !fixture.exifLittleEndian);
        segment.insert(segment.end(), tiff.begin(), tiff.end());
        jpeg_write_marker(&info, JPEG_APP0 + 1, segment.data(),
                          static_cast<unsigned int>(segment.size()));
    }
    if (!fixture.iccProfile.empty()) {
        jpeg_write_icc_profile(&info, fixture.iccProfile.data(),
                               static_cast<unsigned int>(fixture.iccProfile.size()));
    }
    std::vector<JSAMPLE> row(static_cast<size_t>(image.width * info.input_components));
    while (info.next_scanline < info.image_height) {
        const int64_t y = info.next_scanline;
        for (int64_t x = 0; x < image.width; ++x) {
            const uint32_t c = pixelAt(image, x, y);
            const int r = static_cast<uint8_t>(c >> 24), g = static_cast<uint8_t>(c >> 16),
                      b = static_cast<uint8_t>(c >> 8);
            JSAMPLE* p = row.data() + x * info.input_components;
            if (fixture.kind == JpegKind::grey) {
                p[0] = static_cast<JSAMPLE>(r);
            } else if (inks) {
                const int k = 255 - std::max({r, g, b});
                const int rest = 255 - k;
                const int ink[4] = {rest ? (rest - r) * 255 / rest : 0,
                                    rest ? (rest - g) * 255 / rest : 0,
                                    rest ? (rest - b) * 255 / rest : 0, k};
                for (int i = 0; i < 4; ++i) {
                    p[i] = static_cast<JSAMPLE>(fixture.adobeMarker ? 255 - ink[i] : ink[i]);
                }
            } else {
                p[0] = static_cast<JSAMPLE>(r);
                p[1] = static_cast<JSAMPLE>(g);
                p[2] = static_cast<JSAMPLE>(b);
            }
        }
        JSAMPROW rowPointer = row.data();
        jpeg_write_scanlines(&info, &rowPointer, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes out(buffer, buffer + size);
    free(buffer);
    return out;
}

// --------------------------------------------------------------------------------------- HEIC

namespace {

void check(heif_error error) {
    if (error.code != heif_error_Ok) throw std::runtime_error(error.message);
}

heif_error appendHeif(heif_context*, const void* data, size_t size, void* user) {
    auto* out = static_cast<Bytes*>(user);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

}  // namespace

Bytes encodeHeic(const RgbaImage& image, const HeicFixture& fixture) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    check(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder));
    heif_encoder_set_logging_level(encoder, 0);
    if (fixture.lossless) {
        check(heif_encoder_set_lossless(encoder, 1));
    } else {
        check(heif_encoder_set_lossy_quality(encoder, 90));
    }

    const bool deep = fixture.bitDepth > 8;
    const heif_chroma chroma =
        fixture.alpha ? (deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                      : (deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    heif_image* picture = nullptr;
    const int width = static_cast<int>(image.width), height = static_cast<int>(image.height);
    check(heif_image_create(width, height, heif_colorspace_RGB, chroma, &picture));
    check(heif_image_add_plane(picture, heif_channel_interleaved, width, height, fixture.bitDepth));
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(picture, heif_channel_interleaved, &stride);
    const int channels = fixture.alpha ? 4 : 3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixelAt(image, x, y);
            for (int s = 0; s < channels; ++s) {
                const uint8_t v = static_cast<uint8_t>(c >> (24 - 8 * s));
                if (deep) {
                    const uint16_t v10 = static_cast<uint16_t>((v * 1023 + 127) / 255);
                    uint8_t* p = plane + y * stride + (x * channels + s) * 2;
                    p[0] = static_cast<uint8_t>(v10);
                    p[1] = static_cast<uint8_t>(v10 >> 8);
                } else {
                    plane[y * stride + x * channels + s] = v;
                }
            }
        }
    }
    if (!fixture.iccProfile.empty()) {
        check(heif_image_set_raw_color_profile(picture, "prof", fixture.iccProfile.data(),
                                               fixture.iccProfile.size()));
    }
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(fixture.orientation);
    heif_image_handle* handle = nullptr;
    check(heif_context_encode_image(context, picture, encoder, options, &handle));
    if (fixture.exifOrientation != 0) {
        const Bytes exif = exifWithOrientation(static_cast<uint16_t>(fixture.exifOrientation));
        check(heif_context_add_exif_metadata(context, handle, exif.data(),
                                             static_cast<int>(exif.size())));
    }
    Bytes out;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = appendHeif;
    check(heif_context_write(context, &writer, &out));
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(picture);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return out;
}

// ---------------------------------------------------------------------------------- files

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("could not write " + path);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace figsplit::testing

// x265, which makes the HEIC fixtures, keeps a few small allocations for the life of the
// process; LeakSanitizer (in the sanitizer build) is told they are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:x265_malloc\n";
}
