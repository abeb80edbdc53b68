#include "video/video_mode.h"
namespace figsplit {
int runVideoMode(const Settings&, const std::string&, const std::string&) { return 1; }
}  // namespace figsplit
