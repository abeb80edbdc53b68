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

// Progressive JPEGs with more scans than this are refused: decoding cost grows with the number
// of scans, and real encoders use about ten.
inline constexpr int kMaxJpegScans = 500;

}  // namespace figsplit
