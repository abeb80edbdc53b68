#include "platform/imaging/exif_orientation.h"

#include <libexif/exif-data.h>

#include <memory>
#include <vector>

namespace figsplit {

namespace {
struct ExifDataDeleter {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};
}  // namespace

Orientation exifOrientation(const uint8_t* exif, size_t size, bool hasExifHeader) {
    if (exif == nullptr || size == 0) return Orientation::up;
    std::vector<uint8_t> withHeader;
    if (!hasExifHeader) {
        // libexif looks for the JPEG segment's "Exif\0\0" prefix; a PNG chunk holds the TIFF
        // structure alone.
        static constexpr uint8_t kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
        withHeader.assign(std::begin(kHeader), std::end(kHeader));
        withHeader.insert(withHeader.end(), exif, exif + size);
        exif = withHeader.data();
        size = withHeader.size();
    }
    // libexif takes an unsigned int size; EXIF blocks never come near that.
    if (size > 0xFFFFFFFFu) return Orientation::up;

    std::unique_ptr<ExifData, ExifDataDeleter> data(exif_data_new());
    if (!data) return Orientation::up;
    // Read the tags as stored: no repairs, no added defaults.
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(data.get(), exif, static_cast<unsigned int>(size));

    ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->components < 1 ||
        entry->data == nullptr || entry->size < 2) {
        return Orientation::up;
    }
    const ExifShort value = exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
    return orientationFromTag(value);
}

}  // namespace figsplit
