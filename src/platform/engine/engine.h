#pragma once
// The graph engine: runs TF.js graph models natively, on oneDNN kernels with a plain C++
// reference for every operator. It knows no model by name: what a model's inputs and outputs
// mean, and the state a model carries between frames, belong to its caller
// (src/platform/segmentation/ for rvm and selfie).
//
// Start here: `Model::loadFromBytes` reads a model.json text plus its weight shard; `Model::run`
// feeds named placeholders and fetches named node outputs. `setThreadCount` sizes the kernels'
// thread pool; `EngineOptions::profile` with `Model::profile` gives the time per operator type.
//
// Ownership and lifetime: a Model owns its weights, its graph and its execution plan. The plan
// (kernel primitives and tensor buffers) is built on the first run with a given input shape and
// reused for every later run with that shape, so a steady stream of same-sized frames allocates
// nothing after the first. Output tensors passed in by the caller are resized only when their
// shape changes.
//
// Threading: a Model is used from one thread at a time. Its kernels run on the process's one
// OpenMP pool; `setThreadCount` sizes that pool (default: all cores) and must be called before
// the first run to take effect for oneDNN.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace figsplit::engine {

// A dense float tensor, NHWC for images. Tensors of other types inside the graph (int32 shapes,
// bools) never leave the engine.
struct Tensor {
    std::vector<int64_t> shape;
    std::vector<float> data;

    int64_t elementCount() const;
    // Sets the shape and sizes `data` to match (keeps the allocation when it is large enough).
    void reshape(std::vector<int64_t> newShape);
};

// Which kernels run the heavy operators. `reference` runs every operator in plain C++ (slow; for
// differential tests and as an oracle).
enum class Kernels : int { fast = 0, reference = 1 };

struct EngineOptions {
    Kernels kernels = Kernels::fast;
    bool profile = false;  // collect per-op-type times (small overhead per op)
    // Stride-1 3x3 dense convolutions on our Winograd F(4x4,3x3) kernel (fewer multiplications),
    // reading concatenated inputs and writing split outputs in place; concatenations of a whole
    // split skipped; a kh x 1 depthwise convolution and the 1 x kw one after it in one pass.
    // false runs every convolution on oneDNN, one by one, and copies every concatenation and
    // split (the older path: a baseline for benchmarks and tests). Ignored with
    // Kernels::reference.
    bool winograd = true;
};

// One named input of a run: a placeholder's name (without ":0"), its data (row-major, as many
// floats as the shape holds; owned by the caller, read during the run) and its shape. An input of
// shape {} is a scalar that becomes a constant of the plan: changing its value builds a new plan.
struct Input {
    std::string name;
    const float* data = nullptr;
    std::vector<int64_t> shape;
};

// Time spent per operator type over the runs since the last `resetProfile` (when profiling).
struct OpTime {
    std::string op;     // e.g. "Conv2D", "DepthwiseConv2dNative", "ResizeBilinear", "Mul"
    int64_t calls = 0;  // summed over runs
    double milliseconds = 0.0;
};

class Graph;  // internal: the parsed graph, weights and execution plan

class Model {
  public:
    // Loads a model from its model.json text and weight shard. Every weight's name, type and
    // byte size is checked against the manifest, and every node's inputs and attributes against
    // what the engine supports, before anything runs. On failure returns null and sets `error`
    // to a message naming the node or weight (and the expected and actual sizes).
    static std::unique_ptr<Model> loadFromBytes(std::string_view json,
                                                std::span<const uint8_t> weights,
                                                std::string& error, EngineOptions options = {});
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Feeds the named placeholders and fetches the named tensors ("node" or "node:k") into
    // `*results[k]` (reshaped only when its shape changes). Allocates nothing once a plan exists
    // for these input shapes, names and outputs, when the caller keeps its vectors from run to
    // run. Returns false with a reason on failure.
    bool run(const std::vector<Input>& inputs, const std::vector<std::string>& outputs,
             const std::vector<Tensor*>& results, std::string& error);
    // The same with tensors: `results` is resized to outputs.size(). A placeholder may be fed a
    // scalar as a tensor of shape {}. Convenient for tests and one-off runs.
    bool run(const std::vector<std::pair<std::string, const Tensor*>>& inputs,
             const std::vector<std::string>& outputs, std::vector<Tensor>& results,
             std::string& error);

    std::vector<OpTime> profile() const;
    void resetProfile();
    const EngineOptions& options() const;
    // Bytes of frame tensors the current plan holds (its arena; 0 before the first run).
    int64_t workingBytes() const;

  private:
    explicit Model(std::unique_ptr<Graph> graph);
    std::unique_ptr<Graph> graph_;
};

// Sizes the OpenMP pool used by every model (n <= 0: all cores). Affects oneDNN primitives
// created afterwards; call before the first run.
void setThreadCount(int n);
int threadCount();

}  // namespace figsplit::engine
