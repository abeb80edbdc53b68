// Replays the committed fuzz corpus through the fuzz targets' checks, so that the ordinary
// build exercises them without clang or libFuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_checks.h"

namespace figsplit {
namespace {

template <typename Check>
void replay(const char* target, Check check) {
    const std::filesystem::path dir =
        std::filesystem::path(FIGSPLIT_SOURCE_DIR) / "fuzz" / "corpus" / target;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        check(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << "no corpus in " << dir;
}

TEST(FuzzCorpus, Options) {
    replay("options", checkOptionsInput);
}

TEST(FuzzCorpus, Ranges) {
    replay("ranges", checkRangesInput);
}

TEST(FuzzCorpus, EmptyInputs) {
    checkOptionsInput(nullptr, 0);
    checkRangesInput(nullptr, 0);
}

}  // namespace
}  // namespace figsplit
