// libFuzzer target: decodeImage on arbitrary file contents. Built three times (fuzz_png,
// fuzz_jpeg, fuzz_heic) so that each format grows its own corpus; the decoder is chosen by the
// content, as in the program.
#include <cstddef>
#include <cstdint>

#include "image_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    figsplit::checkImageDecodeInput(data, size);
    return 0;
}
