// writePng: the cut-out as an 8-bit RGBA PNG with an sRGB chunk, written to the path it is
// given (created with 0666 less the umask, or truncated). Replacing an old output safely (a
// temporary file renamed into place) is the caller's business.
#include <fcntl.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/imaging/imaging.h"

namespace figsplit {

namespace {

// Paeth-filtered rows, deflated with run-length matches only (Z_RLE). On photographic
// cut-outs this was both the fastest and the smallest of the settings measured (bench/
// still_bench.cpp surveys them): about a third of the time of zlib level 6 with libpng's
// adaptive filtering, and a file no larger. Full LZ77 search finds little in filtered photo
// rows that Huffman coding of the residuals does not already get.
constexpr int kCompressionLevel = 1;  // with Z_RLE the level only has to be non-zero
constexpr int kStrategy = Z_RLE;
constexpr int kFilters = PNG_FILTER_PAETH;

struct PngWrite {
    std::FILE* file = nullptr;
    const RgbaImage* image = nullptr;
    std::string error;
};

struct PngWriteDeleter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriteDeleter() { png_destroy_write_struct(&png, &info); }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void pngError(png_structp png, png_const_charp message) {
    auto* write = static_cast<PngWrite*>(png_get_error_ptr(png));
    if (write->error.empty()) write->error = message;
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngWriteBytes(png_structp png, png_bytep data, size_t length) {
    auto* write = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, write->file) != length) {
        write->error = std::strerror(errno);
        png_longjmp(png, 1);
    }
}

void pngFlush(png_structp) {}

// Everything that can longjmp happens here; no local has a destructor.
bool encodeRows(png_structp png, png_infop info, PngWrite* write) {
    if (setjmp(png_jmpbuf(png))) return false;
    const RgbaImage& image = *write->image;
    png_set_write_fn(png, write, pngWriteBytes, pngFlush);
    png_set_compression_level(png, kCompressionLevel);
    png_set_compression_strategy(png, kStrategy);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilters);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    const uint8_t* pixels = image.pixels.data();
    for (int64_t y = 0; y < image.height; ++y) {
        png_write_row(png, pixels + y * image.width * 4);
    }
    png_write_end(png, info);
    return true;
}

// Encodes into an open file; false with libpng's or the system's reason.
bool encode(std::FILE* file, const RgbaImage& image, std::string& error) {
    PngWrite write;
    write.file = file;
    write.image = &image;
    PngWriteDeleter handles;
    handles.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &write, pngError, pngWarning);
    if (handles.png) handles.info = png_create_info_struct(handles.png);
    if (!handles.png || !handles.info) {
        error = "libpng could not start";
        return false;
    }
    if (!encodeRows(handles.png, handles.info, &write)) {
        error = write.error;
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const RgbaImage& image, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "wb"));
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!encode(file.get(), image, error)) return false;
    if (std::fclose(file.release()) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool writePng(const std::string& path, const RgbaImage& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0 || image.width > 0x7FFFFFFF ||
        image.height > 0x7FFFFFFF ||
        image.pixels.size() != static_cast<size_t>(image.width * image.height * 4)) {
        error = "no picture to write";
        return false;
    }
    return writeFile(path, image, error);
}

}  // namespace figsplit
