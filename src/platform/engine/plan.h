#pragma once
// The execution plan of a graph for one set of input shapes: the frame operations left after
// constant folding, dead-branch removal and fusion, their tensors placed in one arena, and the
// kernels (steps) that run them. Built once per input shape by `buildPlan` and reused for every
// frame of that shape; running it allocates nothing.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <string>
#include <vector>

#include "platform/engine/engine.h"
#include "platform/engine/model_file.h"
#include "platform/engine/ops/activation.h"
#include "platform/engine/ops/conv.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/elementwise.h"
#include "platform/engine/ops/guided_upsample.h"
#include "platform/engine/ops/pointwise.h"
#include "platform/engine/ops/pooling.h"
#include "platform/engine/ops/resize_bilinear.h"
#include "platform/engine/ops/space_batch.h"
#include "platform/engine/value.h"

namespace figsplit::engine {

// Per-run bindings: the caller's input buffers (fed placeholders) and their shapes.
struct RunContext {
    std::vector<const float*> inputs;
    std::vector<Shape> inputShapes;
    dnnl::stream* stream = nullptr;
};

// Where a step finds one operand at run time: an arena tensor, a fed input or a constant.
struct Ref {
    float* arena = nullptr;
    const float* constant = nullptr;
    int input = -1;

    const float* get(const RunContext& c) const {
        return input >= 0 ? c.inputs[input] : (arena != nullptr ? arena : constant);
    }
};

class Step {
  public:
    virtual ~Step() = default;
    virtual bool run(RunContext& context, std::string& error) = 0;
    std::string label;  // operator type, for the profile
    std::string node;   // the graph node it came from, for messages
};

struct Plan;
struct PlanOp;

// Everything needed to turn a planned operation into its kernel.
struct StepBuild {
    const Plan& plan;
    bool fast = true;  // false: every step runs its plain C++ reference
    const dnnl::engine& engine;
    bool winograd = true;  // stride-1 3x3 dense convolutions on WinogradConv (when fast)
};

// Builds the kernel of one planned operation (each operator file has its own); null when it
// cannot.
using MakeStep = std::unique_ptr<Step> (*)(const StepBuild& build, const PlanOp& op);

// An operand of a planned operation: a frame tensor or a constant.
struct Operand {
    Shape shape;
    const Value* value = nullptr;  // constant
    int tensor = -1;               // frame tensor id
    bool isConst() const { return value != nullptr; }
};

// One operation of the plan. `kind` is what the fusion passes recognise; `makeStep` builds its
// kernel; the parameters below are filled by the operator that emitted it.
struct PlanOp {
    enum class Kind {
        other,  // an operation the fusion passes leave alone
        conv,
        pool,
        resize,
        binary,
        unary,
        addN,
        pad,
        concat,
        split,
        slice,
        stridedSlice,
        broadcastTo,
        spaceToBatch,
        batchToSpace,
        channelMean,
        guidedUpsample,
        pointwise,
    } kind = Kind::binary;
    std::string label;
    std::string node;
    std::vector<Operand> inputs;
    std::vector<int> outputs;
    bool removed = false;
    MakeStep makeStep = nullptr;

    ConvSpec conv;
    PoolSpec pool;
    ResizeSpec resize;
    SpaceBatchSpec spaceBatch;
    BinaryOp binary = BinaryOp::add;
    UnaryOp unary = UnaryOp::relu;
    int axis = 0;
    Shape start;                  // slice start / pad before
    Shape extent;                 // slice: the box copied (before shrinking axes)
    std::vector<int64_t> stride;  // strided slice
    float padValue = 0.0f;
    // The second convolution of a fused pair: a separable depthwise pair's horizontal pass (conv:
    // the vertical), or the 1x1 projection a Winograd convolution applies to its output.
    ConvSpec secondConv;
    bool projected = false;  // conv: secondConv applied to each output pixel in the same pass
    GuidedUpsampleSpec guided;
    PointwiseProgram pointwise;  // inputs are its leaves, in order
};

struct TensorDesc {
    Shape shape;
    int root = -1;          // the tensor whose storage this one shares (itself when not an alias)
    int input = -1;         // for a fed input: its index in RunContext::inputs
    bool flexible = false;  // fed input whose shape may vary (only broadcast from)
    int first = -1, last = -1;  // steps that write it first / read it last
    bool pinned = false;        // a requested output: lives to the end
    int64_t offset = -1;        // in floats, into the arena
};

struct FreeDeleter {
    void operator()(float* p) const { std::free(p); }
};

struct PlanOutput {
    const Value* value = nullptr;  // constant output
    int tensor = -1;
    Shape shape;
};

struct Plan {
    std::vector<TensorDesc> tensors;
    std::vector<PlanOp> ops;
    std::vector<std::unique_ptr<Step>> steps;
    std::deque<Value> values;  // constants computed while planning (stable addresses)
    std::unique_ptr<float[], FreeDeleter> arena;
    int64_t arenaFloats = 0;
    std::vector<PlanOutput> outputs;

    int newTensor(Shape shape) {
        TensorDesc t;
        t.shape = std::move(shape);
        t.root = static_cast<int>(tensors.size());
        tensors.push_back(std::move(t));
        return tensors.back().root;
    }
    float* data(int tensor) const { return arena.get() + tensors[tensors[tensor].root].offset; }
};

// Where a step finds an operand at run time.
inline Ref operandRef(const Plan& plan, const Operand& o) {
    Ref r;
    if (o.value != nullptr) {
        r.constant = o.value->floats.data();
        return r;
    }
    const TensorDesc& root = plan.tensors[plan.tensors[o.tensor].root];
    if (root.input >= 0) {
        r.input = root.input;
    } else {
        r.arena = plan.data(o.tensor);
    }
    return r;
}

// A fed placeholder as the planner sees it.
struct FeedInfo {
    std::string name;
    Shape shape;
    bool flexible = false;         // only its broadcastability matters (rvm's recurrent states)
    const Value* value = nullptr;  // scalar feeds are constants of the plan
};

bool buildPlan(const ModelFile& model, const std::vector<FeedInfo>& feeds,
               const std::vector<std::string>& outputs, const EngineOptions& options,
               const dnnl::engine& engine, Plan& plan, std::string& error);

// Fusion passes over the planned operations (fusion.cpp). `winograd`: stride-1 3x3 dense
// convolutions will run on WinogradConv, so they may read joined inputs and write split outputs;
// concatenations and splits are removed where they can be, and separable depthwise pairs joined;
// false keeps the older plan.
void fusePlan(Plan& plan, bool winograd);

// The kernels of the operations fusion creates (ops/pointwise.cpp, ops/guided_upsample.cpp,
// ops/separable_depthwise.cpp).
std::unique_ptr<Step> makePointwiseStep(const StepBuild& build, const PlanOp& op);
std::unique_ptr<Step> makeGuidedUpsampleStep(const StepBuild& build, const PlanOp& op);
std::unique_ptr<Step> makeSeparableDepthwiseStep(const StepBuild& build, const PlanOp& op);

// Checks, at load time, that the engine supports every node of the graph.
bool checkSupported(const ModelFile& model, std::string& error);

}  // namespace figsplit::engine
