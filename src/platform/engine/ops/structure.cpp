// Graph plumbing: weights, fed inputs, identities, and the Switch/Merge pair whose untaken
// branch is dead. None of them emits an operation.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// A weight: a constant of the plan.
bool lowerConst(Lowering& l, std::string&) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    out[0].state = Slot::State::constant;
    out[0].value = &l.model.weights[node.weight];
    out[0].shape = out[0].value->shape;
    return true;
}

// A fed input: a constant when fed a scalar (it then specialises the plan), else a frame tensor.
bool lowerPlaceholder(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    for (size_t k = 0; k < l.feeds.size(); ++k) {
        if (l.feeds[k].name != node.name) continue;
        if (l.feeds[k].value != nullptr) {
            out[0].state = Slot::State::constant;
            out[0].value = l.feeds[k].value;
            out[0].shape = l.feeds[k].value->shape;
        } else {
            out[0] = l.frame(l.feeds[k].shape);
            l.plan.tensors[out[0].tensor].input = static_cast<int>(k);
            l.plan.tensors[out[0].tensor].flexible = l.feeds[k].flexible;
        }
        return true;
    }
    return l.fail("the input is not fed", error);
}

// The input itself.
bool lowerIdentity(Lowering& l, std::string&) {
    std::vector<Slot>& out = l.out;
    out[0] = l.in(0);
    return true;
}

// The data goes to output 1 when the predicate holds, else to output 0; the other output is dead.
bool lowerSwitch(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const Slot& pred = l.in(1);
    if (pred.state != Slot::State::constant || pred.value->count() != 1)
        return l.fail("the branch condition must be known before the frame", error);
    const bool taken = pred.value->number(0) != 0.0;
    out[taken ? 1 : 0] = l.in(0);
    out[taken ? 0 : 1].state = Slot::State::dead;
    return true;
}

// Merge: the first live input, and its index; dead when every input is.
bool lowerMerge(Lowering& l, std::string&) {
    for (size_t k = 0; k < l.node.inputs.size(); ++k) {
        const Slot& s = l.in(k);
        if (s.state != Slot::State::dead) {
            l.out[0] = s;
            l.out[1] = l.constant(Value::ofInts({}, {static_cast<int32_t>(k)}));
            return true;
        }
    }
    for (Slot& s : l.out) s.state = Slot::State::dead;
    return true;
}

bool lowerNoOp(Lowering&, std::string&) {
    return true;
}

int noOutputs(const GraphNode&) {
    return 0;
}

int twoOutputs(const GraphNode&) {
    return 2;
}

bool checkSwitch(const GraphNode& node, std::string& what) {
    if (node.inputs.size() != 2) {
        what = "expects 2 inputs";
        return false;
    }
    return true;
}

}  // namespace

extern const OperatorHandlers kNoOp = {
    .outputCount = noOutputs, .lower = lowerNoOp, .plumbing = true};
extern const OperatorHandlers kConst = {.lower = lowerConst, .plumbing = true};
extern const OperatorHandlers kPlaceholder = {.lower = lowerPlaceholder, .plumbing = true};
extern const OperatorHandlers kIdentity = {.lower = lowerIdentity, .plumbing = true};
extern const OperatorHandlers kSwitch = {
    .outputCount = twoOutputs, .check = checkSwitch, .lower = lowerSwitch, .plumbing = true};
extern const OperatorHandlers kMerge = {
    .outputCount = twoOutputs, .lower = lowerMerge, .plumbing = true, .takesDeadInputs = true};

}  // namespace figsplit::engine
