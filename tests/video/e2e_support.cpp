#include "e2e_support.h"

namespace figsplit::testing {

std::string MovieFixture::make(const std::string& name, const std::string& ffmpegArguments) {
    const std::string path = dir_.file(name);
    EXPECT_TRUE(ffmpeg(ffmpegArguments + " " + q(path))) << ffmpegArguments;
    return path;
}

std::string MovieFixture::testPattern(const std::string& name, const std::string& size,
                                      double seconds, const std::string& encoding) {
    return make(name, "-f lavfi -t " + std::to_string(seconds) + " -i testsrc2=size=" + size +
                          ":rate=25 " + encoding);
}

}  // namespace figsplit::testing
