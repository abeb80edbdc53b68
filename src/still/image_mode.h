#pragma once
// Image mode: still picture in, PNG cut-out with a transparent background out, then the
// "size " and "persontop " lines. Returns 0; every failure ends the process through fail().
#include <string>

namespace figsplit {

int runImageMode(const std::string& inputPath, const std::string& outputPath);

}  // namespace figsplit
