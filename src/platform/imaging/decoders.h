#pragma once
// The per-format decoders behind decodeImage. Each reads an open file from its start and fills
// `image` upright in sRGB, or returns false with a reason (decodeImage then empties `image`).
// They never write to standard error.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/imaging/imaging.h"

namespace figsplit {

bool decodePng(std::FILE* file, RgbaImage& image, std::string& error);
bool decodeJpeg(std::FILE* file, RgbaImage& image, std::string& error);
// `fd` is a regular file of `fileSize` bytes; it is read with pread and not closed.
bool decodeHeic(int fd, int64_t fileSize, RgbaImage& image, std::string& error);

// The longest side a HEIF picture (or any of its tiles, or a grid's canvas) may have: wide
// enough for phone panoramas, and small enough that libheif's full-size buffers for a grid stay
// bounded before our pixel limit can look at the decoded picture.
inline constexpr int kMaxHeifSide = 16384;

// JPEGs with more scans than this are refused: every scan of a progressive file may visit the
// whole picture, so a small hostile file can cost minutes; real encoders write about ten.
inline constexpr int kMaxJpegScans = 100;

}  // namespace figsplit
