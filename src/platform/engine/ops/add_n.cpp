// AddN: the sum of inputs of one shape.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

class AddNStep : public Step {
  public:
    std::vector<Ref> srcs;
    float* dst = nullptr;
    int64_t count = 0;

    bool run(RunContext& c, std::string&) override {
        std::memcpy(dst, srcs[0].get(c), static_cast<size_t>(count) * sizeof(float));
        for (size_t k = 1; k < srcs.size(); ++k) {
            const float* s = srcs[k].get(c);
#pragma omp parallel for if (count > 32768)
            for (int64_t i = 0; i < count; ++i) dst[i] += s[i];
        }
        return true;
    }
};

std::unique_ptr<Step> makeAddNStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<AddNStep>();
    for (const Operand& i : op.inputs) s->srcs.push_back(operandRef(plan, i));
    s->dst = out;
    s->count = elementCount(op.inputs[0].shape);
    return s;
}

// The sum of inputs of one shape.
bool lowerAddN(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    if (l.allConst()) {
        Value sum = *l.constInput(0);
        for (size_t k = 1; k < node.inputs.size(); ++k) {
            Value r;
            if (!binaryValue(BinaryOp::add, sum, *l.constInput(k), r, error))
                return l.fail(error, error);
            sum = std::move(r);
        }
        out[0] = l.constant(std::move(sum));
        return true;
    }
    PlanOp& p = l.emit(makeAddNStep, PlanOp::Kind::addN, "AddN");
    for (size_t k = 0; k < node.inputs.size(); ++k) {
        if (l.in(k).shape != l.in(0).shape) return l.fail("inputs differ in shape", error);
        if (l.in(k).state == Slot::State::constant && !l.in(k).value->isFloat())
            return l.fail("integer operand combined with frame data", error);
        p.inputs.push_back(l.operand(l.in(k)));
    }
    out[0] = l.frame(l.in(0).shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

}  // namespace

extern const OperatorHandlers kAddN = {.lower = lowerAddN};

}  // namespace figsplit::engine
