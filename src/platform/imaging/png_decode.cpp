// PNG through libpng: every colour type and bit depth expanded to 8-bit RGBA (palette, grey,
// tRNS, 16-bit scaled down with rounding), Adam7 interlacing, an iCCP profile converted to sRGB,
// and the orientation of an eXIf chunk applied.
//
// libpng reports errors by longjmp. readPng() is the only frame that calls setjmp and libpng;
// everything with a destructor lives in PngRead, owned by the caller, so the jump skips none.
// gAMA and cHRM without iCCP are not applied: such files are shown as sRGB.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/imaging/colour_profile.h"
#include "platform/imaging/decoders.h"
#include "platform/imaging/exif_orientation.h"
#include "platform/imaging/upright_canvas.h"

namespace figsplit {

namespace {

struct PngRead {
    std::FILE* file = nullptr;
    RgbaImage* image = nullptr;
    std::string error;
    UprightCanvas canvas;
    ColourConverter colour;
    std::vector<png_bytep> rowPointers;  // interlaced pictures only
    Orientation orientation = Orientation::up;
    bool sawExifBeforePixels = false;
    bool pixelsComplete = false;  // every row decoded; a later failure spares the picture
};

struct PngReadDeleter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadDeleter() { png_destroy_read_struct(&png, &info, nullptr); }
};

void pngError(png_structp png, png_const_charp message) {
    auto* read = static_cast<PngRead*>(png_get_error_ptr(png));
    if (read->error.empty()) read->error = message;
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}  // recoverable; never printed

void pngRead(png_structp png, png_bytep data, size_t length) {
    auto* read = static_cast<PngRead*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, read->file) != length) {
        if (std::ferror(read->file)) {
            read->error = std::string("read failed: ") + std::strerror(errno);
        } else {
            read->error = "file ends before the picture is complete";
        }
        png_longjmp(png, 1);
    }
}

// Empty when the picture has no eXIf chunk (yet).
std::optional<Orientation> exifChunkOrientation(png_structp png, png_infop info) {
    png_uint_32 size = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(png, info, &size, &exif) == 0 || exif == nullptr) return std::nullopt;
    return exifOrientation(exif, size, /*hasExifHeader=*/false);
}

// Everything that can longjmp happens here; no local has a destructor.
bool readPng(png_structp png, png_infop info, PngRead* read) {
    if (setjmp(png_jmpbuf(png))) return false;

    png_set_read_fn(png, read, pngRead);
    // The picture's size is checked against our own limit below, with a clear message.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
    if (!checkPictureSize(width, height, read->error)) return false;

    const bool grey = (colourType & PNG_COLOR_MASK_COLOR) == 0;
    const bool hasTransparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (grey && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (hasTransparency) png_set_tRNS_to_alpha(png);
    if (bitDepth == 16) png_set_scale_16(png);
    if (grey) png_set_gray_to_rgb(png);
    if ((colourType & PNG_COLOR_MASK_ALPHA) == 0 && !hasTransparency) {
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4) {
        read->error = "unsupported PNG pixel layout";
        return false;
    }

    png_charp profileName = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileSize = 0;
    if (png_get_valid(png, info, PNG_INFO_sRGB) == 0 &&
        png_get_iCCP(png, info, &profileName, &compression, &profile, &profileSize) != 0) {
        read->colour.prepare(profile, profileSize,
                             grey ? ColourConverter::Pixels::grey : ColourConverter::Pixels::rgba);
    }
    const std::optional<Orientation> early = exifChunkOrientation(png, info);
    read->sawExifBeforePixels = early.has_value();
    read->orientation = early.value_or(Orientation::up);

    if (passes == 1) {
        if (!read->canvas.begin(width, height, read->orientation, *read->image, read->error)) {
            return false;
        }
        for (png_uint_32 y = 0; y < height; ++y) {
            png_bytep row = read->canvas.row(y);
            png_read_row(png, row, nullptr);
            read->colour.convertRgba(row, width);
            read->canvas.finishRow(y);
        }
    } else {
        // Interlaced rows are refined pass by pass, so the picture is decoded as stored and
        // turned upright afterwards.
        if (!read->canvas.begin(width, height, Orientation::up, *read->image, read->error)) return false;
        read->rowPointers.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) read->rowPointers[y] = read->canvas.row(y);
        png_read_image(png, read->rowPointers.data());
        if (read->colour.active()) {
            for (png_uint_32 y = 0; y < height; ++y) {
                read->colour.convertRgba(read->rowPointers[y], width);
            }
        }
    }
    read->pixelsComplete = true;

    // Chunks after the pixels: an eXIf chunk may sit there too.
    png_read_end(png, info);
    if (!read->sawExifBeforePixels) {
        if (const std::optional<Orientation> late = exifChunkOrientation(png, info)) {
            read->orientation = *late;
        }
    }
    return true;
}

}  // namespace

bool decodePng(std::FILE* file, RgbaImage& image, std::string& error) {
    PngRead read;
    read.file = file;
    read.image = &image;
    PngReadDeleter handles;
    handles.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &read, pngError, pngWarning);
    if (handles.png == nullptr) {
        error = "libpng could not start";
        return false;
    }
    handles.info = png_create_info_struct(handles.png);
    if (handles.info == nullptr) {
        error = "libpng could not start";
        return false;
    }

    const bool complete = readPng(handles.png, handles.info, &read);
    if (!complete && !read.pixelsComplete) {
        error = "PNG: " + read.error;
        return false;
    }
    // A failure after the last row (a damaged chunk after the pixel data, a missing IEND) leaves
    // a complete picture; it is kept, with an orientation found before the pixels.
    const bool interlacedOrLate =
        png_get_interlace_type(handles.png, handles.info) != PNG_INTERLACE_NONE ||
        !read.sawExifBeforePixels;
    if (interlacedOrLate && !orientImage(image, read.orientation, error)) return false;
    return true;
}

}  // namespace figsplit
