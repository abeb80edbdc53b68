#include "image_fuzz_checks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/imaging/imaging.h"

namespace figsplit {

namespace {

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "image decode invariant violated: %s (%s)\n", what, detail.c_str());
    std::abort();
}

// One in-memory file for the whole process, rewritten for every input: decodeImage reads a
// path, and /proc/self/fd/N names the memory file without touching the disk.
int memoryFile() {
    static const int fd = [] {
        const int created = ::memfd_create("figsplit-image-fuzz", MFD_CLOEXEC);
        if (created < 0) violated("memfd_create failed", "");
        return created;
    }();
    return fd;
}

}  // namespace

void checkImageDecodeInput(const uint8_t* data, size_t size) {
    const int fd = memoryFile();
    if (::ftruncate(fd, 0) != 0) violated("ftruncate failed", "");
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        if (n <= 0) violated("pwrite failed", "");
        written += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    RgbaImage image;
    std::string error;
    if (decodeImage(path, image, error)) {
        if (image.width <= 0 || image.height <= 0) violated("empty picture decoded", "");
        if (image.width * image.height > kMaxImagePixels) violated("picture above the cap", "");
        if (image.pixels.size() != static_cast<size_t>(image.width * image.height * 4)) {
            violated("buffer does not match the size",
                     std::to_string(image.width) + "x" + std::to_string(image.height));
        }
    } else {
        if (error.empty()) violated("failure without a reason", "");
        if (!image.pixels.empty() || image.width != 0 || image.height != 0) {
            violated("failure left a picture behind", error);
        }
    }
}

}  // namespace figsplit
