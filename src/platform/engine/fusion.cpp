#include "platform/engine/plan.h"

namespace figsplit::engine {

void fusePlan(Plan&) {}

}  // namespace figsplit::engine
