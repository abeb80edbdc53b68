// writePng: the cut-out as an 8-bit RGBA PNG with an sRGB chunk.
//
// The PNG is written to a temporary file beside the destination and renamed over it only once
// it is complete, so a failed write (full disk, I/O error) never leaves a truncated file where
// a good one stood. A destination that is a symbolic link is written through to its target;
// one that is not a regular file (a device, a FIFO) is written directly. The new file gets the
// old file's permission bits, or 0666 less the umask when there was none; an old file that may
// not be written is refused, not replaced.
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
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

std::string systemError(const std::string& path, int code) {
    return path + ": " + std::strerror(code);
}

mode_t currentUmask() {
    // Read, not set: umask(2) would change process-wide state even for a moment.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
        }
    }
    return 022;
}

// The path a write to `path` lands on: symbolic links followed to the end (a dangling link
// names the file it will create).
std::string finalTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<size_t>(length) >= link.size()) return path;
        link.resize(static_cast<size_t>(length));
        if (link.front() == '/') {
            path = link;
        } else {
            const size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
    }
    return path;  // a loop: let open() report it
}

bool writeDirect(const std::string& path, const std::string& shownPath, const RgbaImage& image,
                 std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = systemError(shownPath, errno);
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "wb"));
    if (!file) {
        error = systemError(shownPath, errno);
        ::close(fd);
        return false;
    }
    if (!encode(file.get(), image, error)) {
        error = shownPath + ": " + error;
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        error = systemError(shownPath, errno);
        return false;
    }
    return true;
}

}  // namespace

bool writePng(const std::string& path, const RgbaImage& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0 || image.width > 0x7FFFFFFF ||
        image.height > 0x7FFFFFFF ||
        image.pixels.size() != static_cast<size_t>(image.width * image.height * 4)) {
        error = path + ": no picture to write";
        return false;
    }

    const std::string target = finalTarget(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return writeDirect(target, path, image, error);
    // Replacing by rename needs only the directory's permission; a file we may not write to
    // stays as it is, as a write in place would have left it.
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        error = systemError(path, errno);
        return false;
    }
    const mode_t mode = exists ? (existing.st_mode & 07777) : (0666 & ~currentUmask());

    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary = directory + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        // No temporary file beside it (a directory we may not write to, holding a file we may):
        // write in place, which also reports a missing directory in the system's words.
        return writeDirect(target, path, image, error);
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "wb"));
    if (!file) {
        error = systemError(path, errno);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    bool ok = encode(file.get(), image, error);
    if (!ok) error = path + ": " + error;
    if (ok && (std::fflush(file.get()) != 0 || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
        error = systemError(path, errno);
        ok = false;
    }
    if (std::fclose(file.release()) != 0 && ok) {
        error = systemError(path, errno);
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = systemError(path, errno);
        ok = false;
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace figsplit
