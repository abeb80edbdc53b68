// Replays the committed image fuzz corpus (fuzz/corpus/{png,jpeg,heic}) through the decoder
// fuzz targets' invariant checks, so that the ordinary build exercises them without libFuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "image_fuzz_checks.h"

namespace figsplit {
namespace {

TEST(ImageFuzzCorpus, EveryCommittedInputKeepsTheInvariants) {
    for (const char* format : {"png", "jpeg", "heic"}) {
        const std::filesystem::path dir =
            std::filesystem::path(FIGSPLIT_SOURCE_DIR) / "fuzz" / "corpus" / format;
        int replayed = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream file(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                             std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            checkImageDecodeInput(bytes.data(), bytes.size());
            ++replayed;
        }
        EXPECT_GT(replayed, 0) << "no corpus in " << dir;
    }
    checkImageDecodeInput(nullptr, 0);
}

}  // namespace
}  // namespace figsplit
