#pragma once
// Video mode: movie in, grey matte movie out. Returns 0 after "frames "; every failure ends the
// process through fail().
#include <string>

#include "report/settings.h"

namespace figsplit {

int runVideoMode(const Settings& settings, const std::string& inputPath,
                 const std::string& outputPath);

}  // namespace figsplit
