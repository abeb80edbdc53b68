#pragma once
// Invariants of the command-line readers, checked on arbitrary input. A violated invariant
// prints what failed and aborts, which both libFuzzer and a test runner report as a failure.
//
// The fuzz targets (options_fuzzer.cpp, ranges_fuzzer.cpp) call these; the ordinary test build
// replays the committed corpus through the targets (replay_main.cpp).
#include <cstddef>
#include <cstdint>

namespace figsplit {

// The input is an argument list, arguments separated by NUL bytes (argv[0] is supplied).
void checkOptionsInput(const uint8_t* data, size_t size);

// The input is a "--ranges" value; also fed to the integer and number readers piece by piece
// and, when at least eight bytes long, its first eight bytes to the double renderer.
void checkRangesInput(const uint8_t* data, size_t size);

}  // namespace figsplit
