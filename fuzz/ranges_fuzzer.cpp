// libFuzzer target: the "--ranges" value parser and the number readers and renderer under it.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    figsplit::checkRangesInput(data, size);
    return 0;
}
