#pragma once
// What an operator's lowering sees of the planner: the state of each node output (dead, a
// constant known before any frame, or a frame tensor), and the calls that compute constants,
// create frame tensors and views, and emit planned operations. Each operator file under ops/
// lowers its own nodes through this interface; planner.cpp walks the graph and calls them.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/model_file.h"
#include "platform/engine/plan.h"

namespace figsplit::engine {

// The state of one node output while planning.
struct Slot {
    enum class State { unset, dead, constant, frame } state = State::unset;
    const Value* value = nullptr;
    int tensor = -1;
    Shape shape;
};

// The lowering of one node: its inputs' slots, its outputs' slots to fill, and the plan.
class Lowering {
  public:
    Lowering(const ModelFile& model, const std::vector<FeedInfo>& feeds, Plan& plan,
             const std::vector<std::vector<Slot>>& slots, const GraphNode& node,
             std::vector<Slot>& out)
        : model(model), feeds(feeds), plan(plan), node(node), out(out), slots_(slots) {}

    const ModelFile& model;
    const std::vector<FeedInfo>& feeds;
    Plan& plan;
    const GraphNode& node;
    std::vector<Slot>& out;  // one per output of the node

    // Sets `error` to the node's name and type followed by `what`; returns false.
    bool fail(const std::string& what, std::string& error) const;
    const Slot& in(size_t k) const {
        const NodeInput& i = node.inputs[k];
        return slots_[i.node][i.port];
    }
    bool allConst() const;
    // Input k's value when it is a constant, else null.
    const Value* constInput(size_t k) const;
    // Input k as integers; fails naming `what` when it is not known before the frame.
    bool needConstInts(size_t k, const char* what, std::vector<int64_t>& values,
                       std::string& error) const;
    bool isFlexible(const Slot& s) const;

    Slot constant(Value v);
    Slot frame(const Shape& shape);
    // The same data seen with another shape (a view: no copy for frame tensors).
    Slot alias(const Slot& in, const Shape& shape);
    Operand operand(const Slot& s) const;
    // Appends a planned operation whose kernel `makeStep` builds.
    PlanOp& emit(MakeStep makeStep, PlanOp::Kind kind, const std::string& label);

  private:
    const std::vector<std::vector<Slot>>& slots_;
};

// Attribute readers with fallbacks.
std::string attrString(const GraphNode& node, const char* key, const char* fallback);
std::vector<int64_t> attrInts(const GraphNode& node, const char* key);
int64_t attrInt(const GraphNode& node, const char* key, int64_t fallback);
bool attrBool(const GraphNode& node, const char* key, bool fallback);

// The padding and strides of a convolution or pooling window; on failure sets `what`.
bool checkWindow(const GraphNode& node, std::string& what);

// Normalises an axis against a rank; false when out of range.
bool normaliseAxis(int64_t& axis, size_t rank);
// A constant's elements as integers; false for types that are not numbers.
bool valueInts(const Value& v, std::vector<int64_t>& out);
// The box of `outShape` at `begin` with `stride` per dimension, as a new constant.
Value sliceValue(const Value& v, const Shape& begin, const std::vector<int64_t>& stride,
                 const Shape& outShape);
// SAME padding of TensorFlow: output ceil(in / stride), the extra cell after.
void samePadding(int64_t in, int64_t kernel, int64_t stride, int64_t dilation, int64_t& out,
                 int64_t& before, int64_t& after);

}  // namespace figsplit::engine
