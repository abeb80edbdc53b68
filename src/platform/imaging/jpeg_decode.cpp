// JPEG through libjpeg-turbo: baseline and progressive, grey, YCbCr and RGB decoded straight to
// RGBA; CMYK and YCCK through CMYK (Adobe's inverted form recognised by its APP14 marker); an
// ICC profile from the APP2 chain converted to sRGB; the EXIF orientation of APP1 applied while
// the rows arrive.
//
// A file that ends early is refused, even when only the end marker is missing (libjpeg merely
// warns and pads the picture with grey, and near the end the two cannot be told apart). Other
// recoverable damage is tolerated as most viewers do.
//
// libjpeg reports errors through the error manager, which longjmps back into readJpeg(): the
// only frame that calls setjmp and libjpeg, holding nothing with a destructor.
// jpeglib.h needs size_t and FILE declared first, jerror.h needs jpeglib.h.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/imaging/colour_profile.h"
#include "platform/imaging/decoders.h"
#include "platform/imaging/exif_orientation.h"
#include "platform/imaging/upright_canvas.h"

namespace figsplit {

namespace {

struct FreeDeleter {
    void operator()(JOCTET* p) const { std::free(p); }
};

struct JpegRead;

struct JpegErrorManager {
    jpeg_error_mgr manager;  // first: libjpeg sees a jpeg_error_mgr*
    std::jmp_buf jump;
    JpegRead* read = nullptr;
};

struct JpegRead {
    std::FILE* file = nullptr;
    RgbaImage* image = nullptr;
    std::string error;
    UprightCanvas canvas;
    ColourConverter colour;
    std::unique_ptr<JOCTET, FreeDeleter> profile;
    std::vector<uint8_t> cmykRow;
    jpeg_progress_mgr progress{};
};

[[noreturn]] void jumpOut(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrorManager*>(info->err);
    std::longjmp(errors->jump, 1);
}

void recordMessage(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrorManager*>(info->err);
    char text[JMSG_LENGTH_MAX] = {};
    (*info->err->format_message)(info, text);
    if (errors->read->error.empty()) errors->read->error = text;
}

[[noreturn]] void errorExit(j_common_ptr info) {
    recordMessage(info);
    jumpOut(info);
}

// Warnings and trace messages are never printed. A premature end of the file is an error.
void emitMessage(j_common_ptr info, int level) {
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) {
        recordMessage(info);
        jumpOut(info);
    }
}

void limitScans(j_common_ptr info) {
    if (!info->is_decompressor) return;
    if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxJpegScans) {
        auto* errors = reinterpret_cast<JpegErrorManager*>(info->err);
        if (errors->read->error.empty()) {
            errors->read->error =
                "more than " + std::to_string(kMaxJpegScans) + " progressive scans";
        }
        jumpOut(info);
    }
}

Orientation findExifOrientation(j_decompress_ptr info) {
    static constexpr JOCTET kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= sizeof kExif &&
            std::memcmp(marker->data, kExif, sizeof kExif) == 0) {
            return exifOrientation(marker->data, marker->data_length, /*hasExifHeader=*/true);
        }
    }
    return Orientation::up;
}

// Everything that can longjmp happens here; no local has a destructor.
bool readJpeg(j_decompress_ptr info, JpegErrorManager* errors) {
    JpegRead* read = errors->read;
    if (setjmp(errors->jump)) return false;

    jpeg_create_decompress(info);
    jpeg_stdio_src(info, read->file);
    jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);  // EXIF
    jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chain
    read->progress.progress_monitor = limitScans;
    info->progress = &read->progress;

    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) {
        read->error = "no picture in the file";
        return false;
    }
    if (!checkPictureSize(info->image_width, info->image_height, read->error)) return false;

    ColourConverter::Pixels pixels = ColourConverter::Pixels::rgba;
    switch (info->jpeg_color_space) {
        case JCS_GRAYSCALE:
            pixels = ColourConverter::Pixels::grey;
            info->out_color_space = JCS_EXT_RGBA;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            // Photoshop, which wrote most CMYK JPEGs, stores the inks inverted and marks its
            // files with the Adobe segment.
            pixels = info->saw_Adobe_marker ? ColourConverter::Pixels::cmykInverted
                                            : ColourConverter::Pixels::cmyk;
            info->out_color_space = JCS_CMYK;
            break;
        default:
            info->out_color_space = JCS_EXT_RGBA;
            break;
    }
    JOCTET* profile = nullptr;
    unsigned int profileSize = 0;
    if (jpeg_read_icc_profile(info, &profile, &profileSize)) read->profile.reset(profile);
    read->colour.prepare(read->profile.get(), read->profile ? profileSize : 0, pixels);
    const Orientation orientation = findExifOrientation(info);

    jpeg_start_decompress(info);
    const JDIMENSION width = info->output_width;
    const JDIMENSION height = info->output_height;
    if (info->output_components != 4) {
        read->error = "unsupported JPEG colour layout";
        return false;
    }
    if (!read->canvas.begin(width, height, orientation, *read->image, read->error)) return false;
    const bool cmyk = info->out_color_space == JCS_CMYK;
    if (cmyk) read->cmykRow.resize(static_cast<size_t>(width) * 4);

    while (info->output_scanline < height) {
        const JDIMENSION y = info->output_scanline;
        JSAMPROW row = read->canvas.row(y);
        JSAMPROW target = cmyk ? read->cmykRow.data() : row;
        if (jpeg_read_scanlines(info, &target, 1) != 1) {
            read->error = "decoding stopped early";
            return false;
        }
        if (cmyk) {
            read->colour.convertCmyk(target, row, width);
        } else {
            read->colour.convertRgba(row, width);
        }
        read->canvas.finishRow(y);
    }
    jpeg_finish_decompress(info);
    return true;
}

}  // namespace

bool decodeJpeg(std::FILE* file, RgbaImage& image, std::string& error) {
    JpegRead read;
    read.file = file;
    read.image = &image;
    JpegErrorManager errors;
    errors.read = &read;
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = errorExit;
    errors.manager.emit_message = emitMessage;

    const bool ok = readJpeg(&info, &errors);
    jpeg_destroy_decompress(&info);
    if (!ok) {
        error = "JPEG: " + read.error;
        return false;
    }
    return true;
}

}  // namespace figsplit
