#pragma once
// The byte loops behind medianMask() for three and five rasters, exposed so that tests and the
// benchmark can run each instruction-set variant on raw (possibly unaligned) pointers.
// Pure functions: they read `length` bytes of every input, write `length` bytes of `out`, and
// keep nothing. `out` must not overlap any input.
#include <cstddef>
#include <cstdint>

namespace figsplit {

enum class MedianKernel {
    Baseline,  // the x86-64 baseline (16-byte vectors)
    Avx2,      // 32-byte vectors; used only where the processor and the OS support AVX2
};

// The fastest variant this machine runs.
MedianKernel bestMedianKernel();

// out[i] = median3(r0[i], r1[i], r2[i]). Avx2 on a machine without it runs Baseline instead.
void median3Bytes(MedianKernel kernel, const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                  uint8_t* out, size_t length);

// out[i] = the third smallest of r0[i] ... r4[i]. Avx2 on a machine without it runs Baseline.
void median5Bytes(MedianKernel kernel, const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                  const uint8_t* r3, const uint8_t* r4, uint8_t* out, size_t length);

}  // namespace figsplit
