// decodeImage: opens the file, recognises the format by its first bytes, and hands the file to
// the matching decoder.
#include <fcntl.h>
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/imaging/decoders.h"
#include "platform/imaging/imaging.h"

namespace figsplit {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

enum class Format { unknown, png, jpeg, heif };

Format sniff(const uint8_t* head, size_t size) {
    static constexpr uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= sizeof kPng && std::memcmp(head, kPng, sizeof kPng) == 0) return Format::png;
    if (size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return Format::jpeg;
    if (size >= 12 &&
        heif_check_filetype(head, static_cast<int>(size)) == heif_filetype_yes_supported) {
        return Format::heif;
    }
    return Format::unknown;
}

std::string systemError(const std::string& what, int code) {
    return what + ": " + std::strerror(code);
}

}  // namespace

bool decodeImage(const std::string& path, RgbaImage& image, std::string& error) {
    image = RgbaImage{};
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = systemError(path, errno);
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "rb"));
    if (!file) {
        error = systemError(path, errno);
        ::close(fd);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = systemError(path, errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    uint8_t head[64];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got < 0) {
        error = systemError(path, errno);
        return false;
    }
    if (got == 0) {
        error = path + ": file is empty";
        return false;
    }

    bool ok = false;
    try {
        switch (sniff(head, static_cast<size_t>(got))) {
            case Format::png:
                ok = decodePng(file.get(), image, error);
                break;
            case Format::jpeg:
                ok = decodeJpeg(file.get(), image, error);
                break;
            case Format::heif:
                ok = decodeHeic(fd, static_cast<int64_t>(info.st_size), image, error);
                break;
            case Format::unknown:
                error = path + ": not a PNG, JPEG or HEIC file";
                break;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to decode " + path;
        ok = false;
    }
    if (!ok) image = RgbaImage{};  // no half-decoded picture is handed out (or kept in memory)
    return ok;
}

}  // namespace figsplit
