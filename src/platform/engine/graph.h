#pragma once
// The engine's model object behind `Model`: the checked graph and weights, the oneDNN engine and
// stream, and the plan for the current input shapes (rebuilt only when they change).
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine/engine.h"
#include "platform/engine/model_file.h"
#include "platform/engine/plan.h"

namespace figsplit::engine {

class Graph {
  public:
    using Feed = Input;

    static std::unique_ptr<Graph> load(std::string_view json, std::span<const uint8_t> weights,
                                       const EngineOptions& options, std::string& error);

    // Runs the graph. `results[k]` receives outputs[k]. A feed of rank 0 is a constant of the
    // plan (changing it rebuilds the plan); other feeds are frame data.
    bool run(const std::vector<Feed>& feeds, const std::vector<std::string>& outputs,
             const std::vector<Tensor*>& results, std::string& error);

    std::vector<OpTime> profile() const { return profile_; }
    void resetProfile();
    const EngineOptions& options() const { return options_; }
    const ModelFile& model() const { return model_; }
    // Bytes of the current plan's tensor arena (0 before the first run).
    int64_t arenaBytes() const { return plan_ ? plan_->arenaFloats * 4 : 0; }

  private:
    Graph(const EngineOptions& options)
        : options_(options), engine_(dnnl::engine::kind::cpu, 0), stream_(engine_) {}
    bool samePlan(const std::vector<Feed>& feeds, const std::vector<std::string>& outputs) const;
    bool plan(const std::vector<Feed>& feeds, const std::vector<std::string>& outputs,
              std::string& error);

    ModelFile model_;
    EngineOptions options_;
    std::vector<char> flexible_;  // per node: a placeholder only ever broadcast from
    dnnl::engine engine_;
    dnnl::stream stream_;
    std::unique_ptr<Plan> plan_;
    // What the current plan was built for.
    struct KeyFeed {
        std::string name;
        Shape shape;
        bool flexible = false;
        float value = 0.0f;
    };
    std::vector<KeyFeed> planFeeds_;
    std::vector<std::string> planOutputs_;
    std::vector<int> feedSlot_;  // plan input k -> position in the caller's feeds
    RunContext context_;
    std::vector<OpTime> profile_;
    std::vector<int> stepProfile_;  // step -> index in profile_
};

}  // namespace figsplit::engine
