#include "platform/engine/wait_policy.h"

#include <unistd.h>

#include <cstdlib>

namespace figsplit {

void chooseOpenMpWaiting(char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr)
        return;
    if (::setenv("OMP_WAIT_POLICY", "passive", 1) != 0 ||
        ::setenv("GOMP_SPINCOUNT", kOpenMpSpinCount, 1) != 0)
        return;
    ::execv("/proc/self/exe", argv);
}

}  // namespace figsplit
