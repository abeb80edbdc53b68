// Image mode on large photographs: a 12-megapixel JPEG (time per stage) and a 48-megapixel one
// (peak memory), both made by upscaling a real photo of people.
//
//   still_bench [photo]    default: OpenCV's messi5.jpg, else scikit-image's astronaut.png
//
// Stages: decode (decodeImage), shrink (the picture averaged down to the segmenter's size),
// segment (perform),
// scale (the matte stretched to the picture), blend (applyMatte), encode (writePng). The
// baseline, measured in the same run, is a plain libjpeg-turbo decode of the same file to RGB
// with no orientation, colour management or canvas; every stage is printed as min / median ms
// and as a ratio to the baseline's median. Peak memory is the resident high-water mark of a
// fresh child process that runs the whole image mode once on the 48-megapixel photo.
// When the segmentation model cannot be loaded, a stand-in returns a fixed 512 x 384 matte and
// the segment stage is reported as such.
//
// Finally a survey of the PNG encoder's settings on the 12-megapixel cut-out (time and size
// for zlib levels and row filters), which is how the writer's settings were chosen.
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/imaging/imaging.h"
#include "platform/segmenter.h"
#include "still/cut_out.h"
#include "still/image_run.h"
#include "still/person_top.h"

namespace {

using namespace figsplit;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Timing {
    std::vector<double> ms;
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    double median() const {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

// The stand-in segmenter: an upright ellipse, as a person in the middle of the frame.
class EllipseSegmenter : public Segmenter {
  public:
    ImageSize inputSize(int64_t, int64_t) const override { return {512, 384}; }
    bool perform(const RgbImage&, GreyImage& matte, std::string&) override {
        matte.width = 512;
        matte.height = 384;
        matte.stride = 512;
        matte.bytes.assign(512 * 384, 0);
        for (int y = 0; y < 384; ++y)
            for (int x = 0; x < 512; ++x) {
                const double dx = (x - 256) / 120.0, dy = (y - 220) / 170.0;
                if (dx * dx + dy * dy < 1) matte.bytes[static_cast<size_t>(y * 512 + x)] = 255;
            }
        return true;
    }
};

SegmenterResult benchSegmenter(bool& real) {
    SegmenterResult made = makeSegmenter(Quality::accurate, false);
    real = made.segmenter != nullptr;
    if (!real) made.segmenter = std::make_unique<EllipseSegmenter>();
    return made;
}

// Upscales `source` to width x height (bilinear, channel by channel) and writes a JPEG.
bool makeJpeg(const RgbaImage& source, int64_t width, int64_t height, const std::string& path) {
    std::vector<GreyImage> planes(3);
    for (int c = 0; c < 3; ++c) {
        GreyImage plane;
        plane.width = source.width;
        plane.height = source.height;
        plane.stride = source.width;
        plane.bytes.resize(static_cast<size_t>(source.width * source.height));
        for (int64_t i = 0; i < source.width * source.height; ++i)
            plane.bytes[static_cast<size_t>(i)] = source.pixels[static_cast<size_t>(i * 4 + c)];
        planes[static_cast<size_t>(c)].width = width;
        planes[static_cast<size_t>(c)].height = height;
        planes[static_cast<size_t>(c)].stride = width;
        planes[static_cast<size_t>(c)].bytes.resize(static_cast<size_t>(width * height));
        scaleGrey(plane, planes[static_cast<size_t>(c)]);
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 92, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width * 3));
    while (info.next_scanline < info.image_height) {
        const int64_t y = info.next_scanline;
        for (int64_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                row[static_cast<size_t>(x * 3 + c)] =
                    planes[static_cast<size_t>(c)].bytes[static_cast<size_t>(y * width + x)];
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return std::fclose(file) == 0;
}

// The baseline: libjpeg-turbo straight to packed RGB.
void plainJpegDecode(const std::string& path, std::vector<uint8_t>& rgb) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    rgb.resize(static_cast<size_t>(info.output_width) * info.output_height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row =
            rgb.data() + static_cast<size_t>(info.output_scanline) * info.output_width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
}

void printStage(const char* name, const Timing& t, double baseline) {
    std::printf("  %-28s min %8.1f ms  median %8.1f ms  x%.2f of baseline\n", name, t.min(),
                t.median(), t.median() / baseline);
}

// Child mode: one whole image-mode run, for the peak-memory figure.
int runOnce(const std::string& input, const std::string& output) {
    ImageServices services = realImageServices();
    bool real = false;
    services.makeSegmenter = [&real]() { return benchSegmenter(real); };
    const auto start = Clock::now();
    const CutOutResult result = cutOut(input, output, services);
    std::printf("  whole run %.0f ms (%s segmenter)%s%s\n", msSince(start),
                real ? "real" : "stand-in",
                result.failure.empty() ? "" : ", failed: ", result.failure.c_str());
    return result.failure.empty() ? 0 : 1;
}

double cpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void pngSurvey(const RgbaImage& cut, const std::string& path) {
    std::printf("\nPNG encoder settings on the %lldx%lld cut-out (wall, CPU, size):\n",
                static_cast<long long>(cut.width), static_cast<long long>(cut.height));
    struct Setting {
        int level;
        int filters;
        int strategy;
        const char* name;
    };
    const Setting settings[] = {
        {1, PNG_FILTER_NONE, Z_DEFAULT_STRATEGY, "level 1, no filter"},
        {1, PNG_FILTER_SUB, Z_DEFAULT_STRATEGY, "level 1, sub"},
        {1, PNG_FILTER_UP, Z_DEFAULT_STRATEGY, "level 1, up"},
        {1, PNG_FILTER_PAETH, Z_DEFAULT_STRATEGY, "level 1, paeth"},
        {1, PNG_FILTER_SUB, Z_RLE, "RLE, sub"},
        {1, PNG_FILTER_UP, Z_RLE, "RLE, up"},
        {1, PNG_FILTER_PAETH, Z_RLE, "RLE, paeth"},
        {2, PNG_FILTER_SUB, Z_DEFAULT_STRATEGY, "level 2, sub"},
        {3, PNG_FILTER_SUB, Z_DEFAULT_STRATEGY, "level 3, sub"},
        {4, PNG_FILTER_SUB, Z_DEFAULT_STRATEGY, "level 4, sub"},
        {6, PNG_FILTER_SUB, Z_DEFAULT_STRATEGY, "level 6, sub"},
        {6, PNG_ALL_FILTERS, Z_DEFAULT_STRATEGY, "level 6, adaptive (libpng)"},
    };
    for (const Setting& setting : settings) {
        const auto start = Clock::now();
        const double cpuStart = cpuMs();
        std::FILE* file = std::fopen(path.c_str(), "wb");
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, file);
        png_set_compression_level(png, setting.level);
        png_set_compression_strategy(png, setting.strategy);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, setting.filters);
        png_set_IHDR(png, info, static_cast<png_uint_32>(cut.width),
                     static_cast<png_uint_32>(cut.height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
        png_write_info(png, info);
        for (int64_t y = 0; y < cut.height; ++y)
            png_write_row(png, cut.pixels.data() + y * cut.width * 4);
        png_write_end(png, info);
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        std::printf("  %-28s %7.0f ms %7.0f ms CPU %7.2f MB\n", setting.name, msSince(start),
                    cpuMs() - cpuStart,
                    static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--once") return runOnce(argv[2], argv[3]);

    std::string photo = argc > 1 ? argv[1] : "/usr/share/doc/opencv-doc/examples/data/messi5.jpg";
    if (argc <= 1 && !std::filesystem::exists(photo)) {
        photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
    }
    RgbaImage source;
    std::string error;
    if (!decodeImage(photo, source, error)) {
        std::fprintf(stderr, "cannot read %s: %s\n", photo.c_str(), error.c_str());
        return 1;
    }
    const std::string dir =
        std::filesystem::temp_directory_path() / ("still_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string jpeg12 = dir + "/photo12.jpg", jpeg48 = dir + "/photo48.jpg";
    const std::string out = dir + "/cut.png";
    if (!makeJpeg(source, 4000, 3000, jpeg12) || !makeJpeg(source, 8000, 6000, jpeg48)) {
        std::fprintf(stderr, "cannot write the test photos in %s\n", dir.c_str());
        return 1;
    }
    source = RgbaImage{};
    std::printf("photo %s upscaled to 4000x3000 (%.1f MB) and 8000x6000 (%.1f MB)\n", photo.c_str(),
                std::filesystem::file_size(jpeg12) / 1e6, std::filesystem::file_size(jpeg48) / 1e6);

    // Peak memory first, in a fresh process, before this one grows.
    std::printf("\n48 MP, one whole run in a child process:\n");
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/proc/self/exe", argv[0], "--once", jpeg48.c_str(), out.c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    std::printf("  peak resident memory %.0f MB (target 1024 MB)\n", usage.ru_maxrss / 1024.0);

    // Time per stage on 12 MP.
    bool realSegmenter = false;
    SegmenterResult made = benchSegmenter(realSegmenter);
    Timing baseline, decode, shrink, segment, scale, blend, encode, whole;
    RgbaImage picture, cut;
    std::vector<uint8_t> rgb;
    for (int run = 0; run < kRuns + 1; ++run) {  // the first run warms up
        const bool keep = run > 0;
        auto start = Clock::now();
        plainJpegDecode(jpeg12, rgb);
        if (keep) baseline.ms.push_back(msSince(start));

        start = Clock::now();
        if (!decodeImage(jpeg12, picture, error)) {
            std::fprintf(stderr, "decode failed: %s\n", error.c_str());
            return 1;
        }
        if (keep) decode.ms.push_back(msSince(start));
        const auto wholeStart = start;

        start = Clock::now();
        const RgbImage input =
            segmenterPicture(picture, made.segmenter->inputSize(picture.width, picture.height));
        if (keep) shrink.ms.push_back(msSince(start));

        start = Clock::now();
        GreyImage matte;
        if (!made.segmenter->perform(input, matte, error)) {
            std::fprintf(stderr, "segmentation failed: %s\n", error.c_str());
            return 1;
        }
        (void)personTop(matte);
        if (keep) segment.ms.push_back(msSince(start));

        start = Clock::now();
        GreyImage scaled;
        scaled.width = scaled.stride = picture.width;
        scaled.height = picture.height;
        scaled.bytes.resize(static_cast<size_t>(picture.width * picture.height));
        scaleGrey(matte, scaled);
        if (keep) scale.ms.push_back(msSince(start));

        start = Clock::now();
        applyMatte(picture, scaled);
        if (keep) blend.ms.push_back(msSince(start));

        start = Clock::now();
        if (!writePng(out, picture, error)) {
            std::fprintf(stderr, "write failed: %s\n", error.c_str());
            return 1;
        }
        if (keep) encode.ms.push_back(msSince(start));
        if (keep) whole.ms.push_back(msSince(wholeStart));
        if (run == kRuns) cut = std::move(picture);
    }
    const double base = baseline.median();
    std::printf("\n12 MP (4000x3000), %d runs after a warm-up, %s segmenter:\n", kRuns,
                realSegmenter ? "real" : "STAND-IN (model not available)");
    printStage("baseline: plain libjpeg", baseline, base);
    printStage("decode", decode, base);
    printStage("shrink for the segmenter", shrink, base);
    printStage("segment (perform)", segment, base);
    printStage("scale matte", scale, base);
    printStage("blend", blend, base);
    printStage("encode PNG", encode, base);
    printStage("total (target 1500 ms)", whole, base);

    pngSurvey(cut, dir + "/survey.png");
    std::filesystem::remove_all(dir);
    return 0;
}
