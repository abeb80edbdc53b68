#pragma once
// The orientation tag of an EXIF block (libexif).
#include <cstddef>
#include <cstdint>

#include "platform/imaging/orientation.h"

namespace figsplit {

// `exif` is a TIFF-structured EXIF block as stored in a JPEG APP1 segment ("Exif\0\0" then the
// TIFF header) or, with `hasExifHeader` false, in a PNG eXIf chunk (the TIFF header at once).
// Returns the picture's orientation from IFD0, or up when the block has none, is unreadable, or
// holds a value outside 1 to 8.
Orientation exifOrientation(const uint8_t* exif, size_t size, bool hasExifHeader);

}  // namespace figsplit
