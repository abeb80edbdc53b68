#include "platform/engine/graph.h"

#include <chrono>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace figsplit::engine {

std::unique_ptr<Graph> Graph::load(std::string_view json, std::span<const uint8_t> weights,
                                   const EngineOptions& options, std::string& error) {
    std::unique_ptr<Graph> graph;
    try {
        graph.reset(new Graph(options));
    } catch (const dnnl::error& e) {
        error = std::string("cannot start the kernel library: ") + e.what();
        return nullptr;
    }
    if (!readModelFile(json, weights, graph->model_, error)) return nullptr;
    if (!checkSupported(graph->model_, error)) return nullptr;
    // Placeholders read only as the first input of BroadcastTo may change shape between runs
    // without a new plan (rvm's recurrent states start as [1,1,1,1] zeros).
    const ModelFile& m = graph->model_;
    graph->flexible_.assign(m.nodes.size(), 0);
    std::vector<int> uses(m.nodes.size(), 0), broadcastUses(m.nodes.size(), 0);
    for (const GraphNode& node : m.nodes) {
        for (size_t k = 0; k < node.inputs.size(); ++k) {
            ++uses[node.inputs[k].node];
            if (node.op == "BroadcastTo" && k == 0) ++broadcastUses[node.inputs[k].node];
        }
    }
    for (size_t k = 0; k < m.nodes.size(); ++k)
        graph->flexible_[k] =
            m.nodes[k].op == "Placeholder" && uses[k] > 0 && uses[k] == broadcastUses[k];
    return graph;
}

void Graph::resetProfile() {
    for (OpTime& t : profile_) {
        t.calls = 0;
        t.milliseconds = 0.0;
    }
}

bool Graph::samePlan(const std::vector<Feed>& feeds,
                     const std::vector<std::string>& outputs) const {
    if (!plan_ || feeds.size() != planFeeds_.size() || outputs != planOutputs_) return false;
    for (size_t k = 0; k < feeds.size(); ++k) {
        const KeyFeed& key = planFeeds_[k];
        if (feeds[k].name != key.name) return false;
        if (feeds[k].shape.empty()) {
            if (!key.shape.empty() || feeds[k].data[0] != key.value) return false;
        } else if (!key.flexible && feeds[k].shape != key.shape) {
            return false;
        }
    }
    return true;
}

bool Graph::plan(const std::vector<Feed>& feeds, const std::vector<std::string>& outputs,
                 std::string& error) {
    plan_.reset();
    planFeeds_.clear();
    auto plan = std::make_unique<Plan>();
    std::vector<FeedInfo> infos;
    feedSlot_.clear();
    for (size_t k = 0; k < feeds.size(); ++k) {
        const Feed& f = feeds[k];
        auto it = model_.index.find(f.name);
        if (it == model_.index.end() || model_.nodes[it->second].op != "Placeholder") {
            error = "the model has no input '" + f.name + "'";
            return false;
        }
        for (int64_t d : f.shape) {
            if (d < 1 || d > (int64_t{1} << 20)) {
                error = "input '" + f.name + "' has an impossible shape " + shapeText(f.shape);
                return false;
            }
        }
        KeyFeed key;
        key.name = f.name;
        key.shape = f.shape;
        FeedInfo info;
        info.name = f.name;
        info.shape = f.shape;
        if (f.shape.empty()) {
            key.value = f.data[0];
            plan->values.push_back(Value::scalarFloat(f.data[0]));
            info.value = &plan->values.back();
        } else {
            key.flexible = info.flexible = flexible_[it->second] != 0;
            feedSlot_.push_back(static_cast<int>(k));
        }
        planFeeds_.push_back(std::move(key));
        infos.push_back(std::move(info));
    }
    // Frame inputs are numbered in feed order, skipping the scalar ones.
    std::vector<FeedInfo> ordered;
    for (const FeedInfo& i : infos)
        if (i.value == nullptr) ordered.push_back(i);
    for (const FeedInfo& i : infos)
        if (i.value != nullptr) ordered.push_back(i);
    try {
        if (!buildPlan(model_, ordered, outputs, options_, engine_, *plan, error)) return false;
    } catch (const dnnl::error& e) {
        error = std::string("the kernel library failed: ") + e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the model at this input size";
        return false;
    } catch (const std::exception& e) {
        error = std::string("planning failed: ") + e.what();
        return false;
    }
    plan_ = std::move(plan);
    planOutputs_ = outputs;
    context_.inputs.assign(feedSlot_.size(), nullptr);
    context_.inputShapes.assign(feedSlot_.size(), Shape{});
    context_.stream = &stream_;
    stepProfile_.clear();
    for (const auto& step : plan_->steps) {
        int index = -1;
        for (size_t k = 0; k < profile_.size(); ++k)
            if (profile_[k].op == step->label) index = static_cast<int>(k);
        if (index < 0) {
            profile_.push_back({step->label, 0, 0.0});
            index = static_cast<int>(profile_.size()) - 1;
        }
        stepProfile_.push_back(index);
    }
    return true;
}

namespace {

// Tiny values in the recurrent state and in flat regions of a picture decay into denormal floats,
// which x86 processors handle about a hundred times slower (rvm went from 90 ms to 1.5 s per
// frame on a flat grey clip). While a model runs, every thread of the pool treats them as zero;
// the effect on the results is below 1e-37.
class DenormalsAreZero {
  public:
    DenormalsAreZero() {
#if defined(__SSE__)
        saved_ = _mm_getcsr();
        const unsigned int flags = kFlushToZero | kDenormalsAreZero;
#pragma omp parallel
        _mm_setcsr(_mm_getcsr() | flags);
        _mm_setcsr(saved_ | flags);
#endif
    }
    ~DenormalsAreZero() {
#if defined(__SSE__)
        const unsigned int flags = kFlushToZero | kDenormalsAreZero;
#pragma omp parallel
        _mm_setcsr(_mm_getcsr() & ~flags);
        _mm_setcsr(saved_);
#endif
    }
    DenormalsAreZero(const DenormalsAreZero&) = delete;
    DenormalsAreZero& operator=(const DenormalsAreZero&) = delete;

  private:
    static constexpr unsigned int kFlushToZero = 0x8000;
    static constexpr unsigned int kDenormalsAreZero = 0x0040;
    unsigned int saved_ = 0;
};

}  // namespace

bool Graph::run(const std::vector<Feed>& feeds, const std::vector<std::string>& outputs,
                const std::vector<Tensor*>& results, std::string& error) {
    for (const Feed& f : feeds) {
        for (int64_t d : f.shape) {
            if (d < 1 || d > (int64_t{1} << 20)) {
                error = "input '" + f.name + "' has an impossible shape " + shapeText(f.shape);
                return false;
            }
        }
        if (f.data == nullptr) {
            error = "input '" + f.name + "' has no data";
            return false;
        }
    }
    if (!samePlan(feeds, outputs) && !plan(feeds, outputs, error)) return false;
    for (size_t k = 0; k < feedSlot_.size(); ++k) {
        const Feed& f = feeds[feedSlot_[k]];
        context_.inputs[k] = f.data;
        if (context_.inputShapes[k] != f.shape) context_.inputShapes[k] = f.shape;
    }
    const DenormalsAreZero flushing;
    try {
        if (options_.profile) {
            for (size_t s = 0; s < plan_->steps.size(); ++s) {
                const auto start = std::chrono::steady_clock::now();
                if (!plan_->steps[s]->run(context_, error)) return false;
                stream_.wait();
                const std::chrono::duration<double, std::milli> spent =
                    std::chrono::steady_clock::now() - start;
                OpTime& t = profile_[stepProfile_[s]];
                t.milliseconds += spent.count();
                ++t.calls;
            }
        } else {
            for (const auto& step : plan_->steps)
                if (!step->run(context_, error)) return false;
            stream_.wait();
        }
    } catch (const dnnl::error& e) {
        error = std::string("the kernel library failed: ") + e.what();
        return false;
    }
    for (size_t k = 0; k < outputs.size() && k < results.size(); ++k) {
        const PlanOutput& o = plan_->outputs[k];
        Tensor& t = *results[k];
        if (t.shape != o.shape) t.shape = o.shape;
        const int64_t n = elementCount(o.shape);
        if (static_cast<int64_t>(t.data.size()) != n) t.data.resize(static_cast<size_t>(n));
        if (o.value != nullptr) {
            for (int64_t i = 0; i < n; ++i) t.data[i] = static_cast<float>(o.value->number(i));
            continue;
        }
        const TensorDesc& root = plan_->tensors[plan_->tensors[o.tensor].root];
        const float* src = root.input >= 0 ? context_.inputs[root.input] : plan_->data(o.tensor);
        std::memcpy(t.data.data(), src, static_cast<size_t>(n) * sizeof(float));
    }
    return true;
}

}  // namespace figsplit::engine
