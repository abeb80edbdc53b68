// A main for the fuzz targets outside libFuzzer: feeds every file of the directories (or the
// files) named on the command line, and the empty input, to LLVMFuzzerTestOneInput once each.
// The targets' checks abort on a violated invariant, so a clean exit means every input held.
// The ordinary build links each target with this file and runs it over the committed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replayFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            size_t inDirectory = 0;
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (!entry.is_regular_file()) continue;
                replayFile(entry.path());
                ++inDirectory;
            }
            if (inDirectory == 0) {
                std::fprintf(stderr, "no inputs in %s\n", path.c_str());
                return 1;
            }
            replayed += inDirectory;
        } else if (std::filesystem::is_regular_file(path, error)) {
            replayFile(path);
            ++replayed;
        } else {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
    }
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::fprintf(stderr, "%zu inputs and the empty input held every invariant\n", replayed);
    return 0;
}
