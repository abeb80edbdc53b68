#pragma once
// The graph engine: runs the two TF.js graph models that the segmentation service uses (rvm and
// selfie) natively, on oneDNN kernels with a plain C++ reference for every operator.
//
// Start here: `Model::loadEmbedded` reads a model that is compiled into the binary;
// `Model::loadFromBytes` reads any model.json text plus its weight shard (tests use it for
// malformed models). `runRvm` and `runSelfie` are the two ways the service runs them; `Model::run`
// is the generic form (named placeholders in, named node outputs out).
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

enum class ModelKind : int { rvm = 0, selfie = 1 };

// Which kernels run the heavy operators. `reference` runs every operator in plain C++ (slow; for
// differential tests and as an oracle).
enum class Kernels : int { fast = 0, reference = 1 };

struct EngineOptions {
    Kernels kernels = Kernels::fast;
    bool profile = false;  // collect per-op-type times (small overhead per op)
};

// The bytes of a model as shipped: the model.json text and its single weight shard.
struct ModelBytes {
    std::string_view json;
    std::span<const uint8_t> weights;
};

// The models compiled into the binary.
ModelBytes embeddedModel(ModelKind kind);

// Time spent per operator type over the runs since the last `resetProfile` (when profiling).
struct OpTime {
    std::string op;     // e.g. "Conv2D", "DepthwiseConv2dNative", "ResizeBilinear", "Mul"
    int64_t calls = 0;  // summed over runs
    double milliseconds = 0.0;
};

class Graph;  // internal: the parsed graph, weights and execution plan

class Model {
  public:
    // Loads a model compiled into the binary. On failure returns null and sets `error`.
    static std::unique_ptr<Model> loadEmbedded(ModelKind kind, std::string& error,
                                               EngineOptions options = {});
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

    // Generic run: feeds the named placeholders (names without ":0") and fetches the named
    // tensors ("node" or "node:k"). `results` is resized to outputs.size(). A placeholder may be
    // fed a scalar as a tensor of shape {}.
    bool run(const std::vector<std::pair<std::string, const Tensor*>>& inputs,
             const std::vector<std::string>& outputs, std::vector<Tensor>& results,
             std::string& error);

    std::vector<OpTime> profile() const;
    void resetProfile();
    const EngineOptions& options() const;
    // Bytes of frame tensors the current plan holds (its arena; 0 before the first run).
    int64_t workingBytes() const;

    // Internal: the graph behind the model (for the engine's own run helpers).
    Graph& graph() { return *graph_; }

  private:
    explicit Model(std::unique_ptr<Graph> graph);
    std::unique_ptr<Graph> graph_;
};

// rvm's recurrent state, owned by the caller. A default-constructed (empty) state means "zero
// state" (fed as [1,1,1,1] zeros). After a successful run the state holds r1o..r4o, to be fed back
// on the next frame. Reset it (`reset()`) when the input size or the ratio changes.
struct RvmState {
    Tensor r1, r2, r3, r4;
    void reset();
    bool empty() const { return r1.shape.empty(); }
};

// Runs rvm on one frame: `rgb` is [1,h,w,3] float RGB in 0..1, NHWC. `pha` receives [1,h,w,1]
// alpha in 0..1; `fgr` (optional) receives [1,h,w,3]. `downsampleRatio` in (0, 1]; 1 skips the
// downsampling and the guided filter. Returns false with a reason on failure (the state is then
// left unchanged).
bool runRvm(Model& model, const float* rgb, int64_t h, int64_t w, float downsampleRatio,
            RvmState& state, Tensor& pha, Tensor* fgr, std::string& error);

// Runs selfie: `rgb256` is [1,256,256,3] float RGB in 0..1; `probability` receives [1,256,256,1].
bool runSelfie(Model& model, const float* rgb256, Tensor& probability, std::string& error);

// Sizes the OpenMP pool used by every model (n <= 0: all cores). Affects oneDNN primitives
// created afterwards; call before the first run.
void setThreadCount(int n);
int threadCount();

}  // namespace figsplit::engine
