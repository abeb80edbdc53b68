#pragma once
// Invariants of the still-image decoders, checked on arbitrary file contents. A violated
// invariant prints what failed and aborts.
//
// The fuzz targets (image_fuzzer.cpp, built as fuzz_png, fuzz_jpeg and fuzz_heic with a corpus
// each) call this; the ordinary test build replays the committed corpus through the targets
// (replay_main.cpp).
#include <cstddef>
#include <cstdint>

namespace figsplit {

// Decodes `data` as a file through decodeImage: either a picture of a sane size whose buffer
// matches it, or a failure with a reason and no pixels.
void checkImageDecodeInput(const uint8_t* data, size_t size);

}  // namespace figsplit
