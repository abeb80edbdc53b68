// libFuzzer target: the option loop on arbitrary argument lists (NUL-separated arguments).
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    figsplit::checkOptionsInput(data, size);
    return 0;
}
