#include "still/image_mode.h"
namespace figsplit {
int runImageMode(const std::string&, const std::string&) { return 1; }
}  // namespace figsplit
