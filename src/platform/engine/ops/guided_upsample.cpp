#include "platform/engine/plan.h"

namespace figsplit::engine {

std::unique_ptr<Step> makeGuidedUpsampleStep(const Plan&, const PlanOp&, bool) {
    return nullptr;
}

}  // namespace figsplit::engine
