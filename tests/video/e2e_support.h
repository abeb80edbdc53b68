#pragma once
// The fixture of the end-to-end tests of video mode: a scratch directory and movies made in it
// with the ffmpeg command-line tool. Running programs and probing movies: tests/support.
#include <gtest/gtest.h>

#include <string>

#include "support/movie_probe.h"
#include "support/processes.h"
#include "support/scratch_dir.h"

namespace figsplit::testing {

class MovieFixture : public ::testing::Test {
  protected:
    // `ffmpeg <arguments> <dir>/name`; the path made.
    std::string make(const std::string& name, const std::string& ffmpegArguments);
    // Seconds of the moving test pattern at 25 frames per second, encoded as given.
    std::string testPattern(const std::string& name, const std::string& size, double seconds,
                            const std::string& encoding);

    ScratchDir dir_;
};

}  // namespace figsplit::testing
