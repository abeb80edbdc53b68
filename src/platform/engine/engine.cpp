#include "platform/engine/engine.h"

#include <omp.h>

#include "platform/engine/graph.h"

namespace figsplit::engine {

int64_t Tensor::elementCount() const {
    return figsplit::engine::elementCount(shape);
}

void Tensor::reshape(std::vector<int64_t> newShape) {
    if (shape != newShape) shape = std::move(newShape);
    data.resize(static_cast<size_t>(figsplit::engine::elementCount(shape)));
}

Model::Model(std::unique_ptr<Graph> graph) : graph_(std::move(graph)) {}
Model::~Model() = default;

std::unique_ptr<Model> Model::loadFromBytes(std::string_view json, std::span<const uint8_t> weights,
                                            std::string& error, EngineOptions options) {
    std::unique_ptr<Graph> graph = Graph::load(json, weights, options, error);
    if (!graph) return nullptr;
    return std::unique_ptr<Model>(new Model(std::move(graph)));
}

bool Model::run(const std::vector<Input>& inputs, const std::vector<std::string>& outputs,
                const std::vector<Tensor*>& results, std::string& error) {
    return graph_->run(inputs, outputs, results, error);
}

bool Model::run(const std::vector<std::pair<std::string, const Tensor*>>& inputs,
                const std::vector<std::string>& outputs, std::vector<Tensor>& results,
                std::string& error) {
    std::vector<Input> feeds;
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

void setThreadCount(int n) {
    omp_set_num_threads(n > 0 ? n : omp_get_num_procs());
}

int threadCount() {
    return omp_get_max_threads();
}

}  // namespace figsplit::engine
