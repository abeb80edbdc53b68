#pragma once
// Runs the built figsplit binary and captures what it writes.
#include <string>
#include <vector>

namespace figsplit::testing {

struct ProcessRun {
    int exitStatus = -1;  // the exit status, or 128 + the signal number
    std::string out;
    std::string err;
};

ProcessRun runFigsplit(const std::vector<std::string>& args);

}  // namespace figsplit::testing
