#pragma once
// Helpers for the media tests beyond the shared test support: re-muxing with a chosen display
// matrix, and files of random bytes.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/movie_probe.h"
#include "support/processes.h"
#include "support/scratch_dir.h"

namespace figsplit::testing {

// Copies every stream of `input` into the QuickTime movie `output`, giving the first video
// stream the display matrix `matrix` (nine entries as libavutil stores them).
bool remuxWithMatrix(const std::string& input, const std::string& output,
                     const std::array<int32_t, 9>& matrix);

// Writes `bytes` random bytes (fixed seed) to `path`.
void writeRandomFile(const std::string& path, size_t bytes, uint32_t seed);

}  // namespace figsplit::testing
