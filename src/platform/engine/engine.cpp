#include "platform/engine/engine.h"

#include <omp.h>

#include <cmath>

#include "platform/engine/graph.h"

// The model files, assembled into the binary by embedded_models.S.
extern "C" {
extern const uint8_t figsplit_rvm_json[];
extern const uint8_t figsplit_rvm_json_end[];
extern const uint8_t figsplit_rvm_bin[];
extern const uint8_t figsplit_rvm_bin_end[];
extern const uint8_t figsplit_selfie_json[];
extern const uint8_t figsplit_selfie_json_end[];
extern const uint8_t figsplit_selfie_bin[];
extern const uint8_t figsplit_selfie_bin_end[];
}

namespace figsplit::engine {

int64_t Tensor::elementCount() const {
    return figsplit::engine::elementCount(shape);
}

void Tensor::reshape(std::vector<int64_t> newShape) {
    if (shape != newShape) shape = std::move(newShape);
    data.resize(static_cast<size_t>(figsplit::engine::elementCount(shape)));
}

ModelBytes embeddedModel(ModelKind kind) {
    auto bytes = [](const uint8_t* begin, const uint8_t* end) {
        return std::span<const uint8_t>(begin, static_cast<size_t>(end - begin));
    };
    auto text = [](const uint8_t* begin, const uint8_t* end) {
        return std::string_view(reinterpret_cast<const char*>(begin),
                                static_cast<size_t>(end - begin));
    };
    if (kind == ModelKind::rvm)
        return {text(figsplit_rvm_json, figsplit_rvm_json_end),
                bytes(figsplit_rvm_bin, figsplit_rvm_bin_end)};
    return {text(figsplit_selfie_json, figsplit_selfie_json_end),
            bytes(figsplit_selfie_bin, figsplit_selfie_bin_end)};
}

Model::Model(std::unique_ptr<Graph> graph) : graph_(std::move(graph)) {}
Model::~Model() = default;

std::unique_ptr<Model> Model::loadEmbedded(ModelKind kind, std::string& error,
                                           EngineOptions options) {
    const ModelBytes bytes = embeddedModel(kind);
    std::unique_ptr<Model> model = loadFromBytes(bytes.json, bytes.weights, error, options);
    if (!model) error = std::string(kind == ModelKind::rvm ? "rvm" : "selfie") + " model: " + error;
    return model;
}

std::unique_ptr<Model> Model::loadFromBytes(std::string_view json, std::span<const uint8_t> weights,
                                            std::string& error, EngineOptions options) {
    std::unique_ptr<Graph> graph = Graph::load(json, weights, options, error);
    if (!graph) return nullptr;
    return std::unique_ptr<Model>(new Model(std::move(graph)));
}

bool Model::run(const std::vector<std::pair<std::string, const Tensor*>>& inputs,
                const std::vector<std::string>& outputs, std::vector<Tensor>& results,
                std::string& error) {
    std::vector<Graph::Feed> feeds;
    for (const auto& [name, tensor] : inputs) {
        if (tensor == nullptr ||
            static_cast<int64_t>(tensor->data.size()) != tensor->elementCount()) {
            error = "input '" + name + "' has " +
                    (tensor ? std::to_string(tensor->data.size()) : "no") + " values for its shape";
            return false;
        }
        feeds.push_back({name, tensor->data.data(), tensor->shape});
    }
    results.resize(outputs.size());
    std::vector<Tensor*> pointers;
    for (Tensor& t : results) pointers.push_back(&t);
    return graph_->run(feeds, outputs, pointers, error);
}

std::vector<OpTime> Model::profile() const {
    return graph_->profile();
}
void Model::resetProfile() {
    graph_->resetProfile();
}
const EngineOptions& Model::options() const {
    return graph_->options();
}
int64_t Model::workingBytes() const {
    return graph_->arenaBytes();
}

void RvmState::reset() {
    for (Tensor* t : {&r1, &r2, &r3, &r4}) {
        t->shape.clear();
        t->data.clear();
    }
}

bool runRvm(Model& model, const float* rgb, int64_t h, int64_t w, float downsampleRatio,
            RvmState& state, Tensor& pha, Tensor* fgr, std::string& error) {
    if (rgb == nullptr || h < 1 || w < 1 || h > 16384 || w > 16384) {
        error = "rvm: impossible input size " + std::to_string(w) + "x" + std::to_string(h);
        return false;
    }
    if (!(downsampleRatio > 0.0f && downsampleRatio <= 1.0f)) {
        error = "rvm: the downsample ratio must lie in (0, 1]";
        return false;
    }
    Graph& g = model.graph();
    std::vector<Graph::Feed>& feeds = g.scratchFeeds;
    if (feeds.size() != 6) {
        feeds.assign(6, Graph::Feed{});
        const char* names[] = {"src", "r1i", "r2i", "r3i", "r4i", "downsample_ratio"};
        for (int k = 0; k < 6; ++k) feeds[k].name = names[k];
    }
    feeds[0].data = rgb;
    if (feeds[0].shape.size() != 4) feeds[0].shape.assign(4, 1);
    feeds[0].shape[1] = h;
    feeds[0].shape[2] = w;
    feeds[0].shape[3] = 3;
    const Tensor* states[] = {&state.r1, &state.r2, &state.r3, &state.r4};
    const bool fresh = state.empty();
    for (int k = 0; k < 4; ++k) {
        Graph::Feed& f = feeds[1 + k];
        if (fresh) {
            f.data = g.zero;
            if (f.shape.size() != 4 || f.shape != std::vector<int64_t>{1, 1, 1, 1})
                f.shape.assign(4, 1);
        } else {
            const Tensor& t = *states[k];
            if (t.shape.empty() || static_cast<int64_t>(t.data.size()) != t.elementCount()) {
                error = "rvm: recurrent state " + std::to_string(k + 1) + " is incomplete";
                return false;
            }
            f.data = t.data.data();
            if (f.shape != t.shape) f.shape = t.shape;
        }
    }
    feeds[5].data = &downsampleRatio;
    feeds[5].shape.clear();
    std::vector<std::string>& outputs = g.scratchOutputs;
    const size_t want = fgr != nullptr ? 6 : 5;
    if (outputs.size() != want) {
        outputs = {"Identity_1:0", "Identity_2:0", "Identity_3:0", "Identity_4:0", "Identity_5:0"};
        if (fgr != nullptr) outputs.push_back("Identity:0");
    }
    // Results go to scratch state first: the current state is still an input of this run.
    Tensor* next = g.nextState;  // reused: no allocation per frame after the first
    std::vector<Tensor*>& results = g.scratchResults;
    results.assign({&pha, &next[0], &next[1], &next[2], &next[3]});
    if (fgr != nullptr) results.push_back(fgr);
    if (!g.run(feeds, outputs, results, error)) {
        error = "rvm: " + error;
        return false;
    }
    std::swap(state.r1, next[0]);
    std::swap(state.r2, next[1]);
    std::swap(state.r3, next[2]);
    std::swap(state.r4, next[3]);
    if (fresh) {
        // Size the spare buffers now, so that the second frame allocates nothing either.
        const Tensor* current[] = {&state.r1, &state.r2, &state.r3, &state.r4};
        for (int k = 0; k < 4; ++k) next[k].reshape(current[k]->shape);
    }
    return true;
}

bool runSelfie(Model& model, const float* rgb256, Tensor& probability, std::string& error) {
    if (rgb256 == nullptr) {
        error = "selfie: no input";
        return false;
    }
    Graph& g = model.graph();
    std::vector<Graph::Feed>& feeds = g.scratchFeeds;
    if (feeds.size() != 1) {
        feeds.assign(1, Graph::Feed{});
        feeds[0].name = "input_1";
        feeds[0].shape = {1, 256, 256, 3};
    }
    feeds[0].data = rgb256;
    std::vector<std::string>& outputs = g.scratchOutputs;
    if (outputs.size() != 1) outputs = {"activation_10:0"};
    std::vector<Tensor*>& results = g.scratchResults;
    results.assign({&probability});
    if (!g.run(feeds, outputs, results, error)) {
        error = "selfie: " + error;
        return false;
    }
    return true;
}

void setThreadCount(int n) {
    omp_set_num_threads(n > 0 ? n : omp_get_num_procs());
}

int threadCount() {
    return omp_get_max_threads();
}

}  // namespace figsplit::engine
