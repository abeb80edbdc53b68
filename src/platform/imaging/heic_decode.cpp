// HEIC (and the other HEIF flavours libheif reads) through libheif: the primary image, with its
// own transformations (rotation, mirroring, cropping) applied by libheif. EXIF orientation is
// never applied on top: in HEIF it only repeats what the transformations already say. Alpha
// is kept (and un-premultiplied when so stored); more than 8 bits per component are reduced to
// 8; an ICC profile, or failing that primaries other than sRGB's given as nclx, are converted to
// sRGB.
#include <libheif/heif.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/imaging/colour_profile.h"
#include "platform/imaging/decoders.h"
#include "platform/imaging/upright_canvas.h"

namespace figsplit {

namespace {

struct ContextDeleter {
    void operator()(heif_context* p) const { heif_context_free(p); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
};
struct ImageDeleter {
    void operator()(heif_image* p) const { heif_image_release(p); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};
struct NclxDeleter {
    void operator()(heif_color_profile_nclx* p) const { heif_nclx_color_profile_free(p); }
};

// libheif reads through pread on the caller's descriptor.
struct FileReader {
    int fd = -1;
    int64_t size = 0;
    int64_t position = 0;
};

int64_t readerPosition(void* user) {
    return static_cast<FileReader*>(user)->position;
}

int readerRead(void* data, size_t size, void* user) {
    auto* reader = static_cast<FileReader*>(user);
    auto* out = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(reader->fd, out, size, reader->position);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 1;
        out += got;
        size -= static_cast<size_t>(got);
        reader->position += got;
    }
    return 0;
}

int readerSeek(int64_t position, void* user) {
    auto* reader = static_cast<FileReader*>(user);
    if (position < 0 || position > reader->size) return 1;
    reader->position = position;
    return 0;
}

heif_reader_grow_status readerWait(int64_t targetSize, void* user) {
    return targetSize <= static_cast<FileReader*>(user)->size
               ? heif_reader_grow_status_size_reached
               : heif_reader_grow_status_size_beyond_eof;
}

bool failed(const heif_error& status, std::string& error) {
    if (status.code == heif_error_Ok) return false;
    error = std::string("HEIF: ") + (status.message ? status.message : "unknown error");
    return true;
}

// Primaries other than BT.709 / sRGB's, with an SDR transfer close enough to sRGB's curve.
void prepareNclx(const heif_image_handle* handle, ColourConverter& colour) {
    heif_color_profile_nclx* raw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &raw).code != heif_error_Ok || !raw) {
        return;
    }
    std::unique_ptr<heif_color_profile_nclx, NclxDeleter> nclx(raw);
    if (nclx->color_primaries == heif_color_primaries_ITU_R_BT_709_5 ||
        nclx->color_primaries == heif_color_primaries_unspecified) {
        return;
    }
    switch (nclx->transfer_characteristics) {
        case heif_transfer_characteristic_ITU_R_BT_709_5:
        case heif_transfer_characteristic_unspecified:
        case heif_transfer_characteristic_ITU_R_BT_601_6:
        case heif_transfer_characteristic_IEC_61966_2_1:
        case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
        case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit:
            break;
        default:  // linear, PQ, HLG and the rest would need more than a primaries change
            return;
    }
    colour.prepareRgbPrimaries({nclx->color_primary_red_x, nclx->color_primary_red_y},
                               {nclx->color_primary_green_x, nclx->color_primary_green_y},
                               {nclx->color_primary_blue_x, nclx->color_primary_blue_y},
                               {nclx->color_primary_white_x, nclx->color_primary_white_y});
}

void unpremultiply(uint8_t* rgba, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        uint8_t* p = rgba + i * 4;
        const uint32_t alpha = p[3];
        if (alpha == 0 || alpha == 255) continue;
        for (int c = 0; c < 3; ++c) {
            p[c] = static_cast<uint8_t>(std::min<uint32_t>(255, (p[c] * 255u + alpha / 2) / alpha));
        }
    }
}

}  // namespace

bool decodeHeic(int fd, int64_t fileSize, RgbaImage& image, std::string& error) {
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context) {
        error = "HEIF: libheif could not start";
        return false;
    }
    // libheif checks every coded size (ispe) and the canvas of grid and overlay images against
    // this side limit before allocating; the canvas is not visible through its API before
    // decoding, so this is what bounds a small file that claims an enormous grid.
    heif_context_set_maximum_image_size_limit(context.get(), kMaxHeifSide + 1);
    FileReader reader{fd, fileSize, 0};
    heif_reader functions{};
    functions.reader_api_version = 1;
    functions.get_position = readerPosition;
    functions.read = readerRead;
    functions.seek = readerSeek;
    functions.wait_for_file_size = readerWait;
    if (failed(heif_context_read_from_reader(context.get(), &functions, &reader, nullptr), error)) {
        return false;
    }

    heif_image_handle* rawHandle = nullptr;
    if (failed(heif_context_get_primary_image_handle(context.get(), &rawHandle), error)) {
        return false;
    }
    std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);

    // Both the coded size and the displayed one are checked before anything is decoded.
    const heif_image_handle* h = handle.get();
    if (!checkPictureSize(heif_image_handle_get_width(h), heif_image_handle_get_height(h), error)) {
        return false;
    }
    const int codedWidth = heif_image_handle_get_ispe_width(h);
    const int codedHeight = heif_image_handle_get_ispe_height(h);
    if (codedWidth > 0 && codedHeight > 0 && !checkPictureSize(codedWidth, codedHeight, error)) {
        return false;
    }

    const bool hasAlpha = heif_image_handle_has_alpha_channel(h) != 0;
    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (!options) {
        error = "HEIF: libheif could not start";
        return false;
    }
    options->convert_hdr_to_8bit = 1;
    heif_image* rawImage = nullptr;
    if (failed(
            heif_decode_image(h, &rawImage, heif_colorspace_RGB,
                              hasAlpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                              options.get()),
            error)) {
        return false;
    }
    std::unique_ptr<heif_image, ImageDeleter> decoded(rawImage);

    const int width = heif_image_get_width(decoded.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(decoded.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    const int channels = hasAlpha ? 4 : 3;
    if (plane == nullptr ||
        heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved) != 8) {
        error = "HEIF: no 8-bit picture from the decoder";
        return false;
    }
    if (!checkPictureSize(width, height, error)) return false;
    if (stride < width * channels) {
        error = "HEIF: decoded rows are shorter than the picture";
        return false;
    }

    ColourConverter colour;
    const size_t profileSize = heif_image_handle_get_raw_color_profile_size(h);
    if (profileSize > 0) {
        std::vector<uint8_t> profile(profileSize);
        if (heif_image_handle_get_raw_color_profile(h, profile.data()).code == heif_error_Ok) {
            colour.prepare(profile.data(), profile.size(), ColourConverter::Pixels::rgba);
        }
    } else {
        prepareNclx(h, colour);
    }
    const bool premultiplied = hasAlpha && heif_image_is_premultiplied_alpha(decoded.get()) != 0;

    UprightCanvas canvas;
    if (!canvas.begin(width, height, Orientation::up, image, error)) return false;
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = plane + static_cast<int64_t>(y) * stride;
        uint8_t* to = canvas.row(y);
        if (hasAlpha) {
            std::memcpy(to, from, static_cast<size_t>(width) * 4);
            if (premultiplied) unpremultiply(to, width);
        } else {
            for (int x = 0; x < width; ++x) {
                to[x * 4] = from[x * 3];
                to[x * 4 + 1] = from[x * 3 + 1];
                to[x * 4 + 2] = from[x * 3 + 2];
                to[x * 4 + 3] = 255;
            }
        }
        colour.convertRgba(to, width);
        canvas.finishRow(y);
    }
    return true;
}

}  // namespace figsplit
