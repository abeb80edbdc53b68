// Plans a graph for one set of input shapes. Walks the nodes in dependency order and decides for
// each output whether it is dead (the untaken side of a Switch), a constant known before any
// frame arrives (weights, shapes and everything computed from them, scalar feeds such as a
// downsample ratio) or a frame tensor. Each node is lowered by its operator's file under ops/
// (found in the registry); this file keeps the walk, the checks common to every node, and the
// assembly of the plan: fusion, arena placement and the kernels.
#include <algorithm>
#include <cstdlib>

#include "platform/engine/arena.h"
#include "platform/engine/lowering.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// The checks every node gets at load time, then its operator's own.
bool checkNode(const GraphNode& node, std::string& error) {
    auto fail = [&](const std::string& what) {
        error = "node '" + node.name + "' (" + node.op + "): " + what;
        return false;
    };
    const OperatorHandlers* handlers = findOperator(node.op);
    if (handlers == nullptr) return fail("operation not supported by the engine");
    const std::string format = attrString(node, "data_format", "NHWC");
    if (format != "NHWC") return fail("data format " + format + " not supported (NHWC only)");
    const AttrValue* t = node.attr("T");
    if (t != nullptr && t->kind == AttrValue::Kind::type && !t->typeKnown)
        return fail("element type " + t->typeName + " not supported");
    std::string what;
    if (handlers->check != nullptr && !handlers->check(node, what)) return fail(what);
    return true;
}

// The most elements any tensor may have (4 GiB of floats).
constexpr int64_t kMaxElements = int64_t{1} << 30;

class Planner {
  public:
    Planner(const ModelFile& model, const std::vector<FeedInfo>& feeds, Plan& plan)
        : model_(model),
          feeds_(feeds),
          plan_(plan),
          slots_(model.nodes.size()),
          dead_(model.nodes.size(), 0) {
        for (size_t k = 0; k < model.nodes.size(); ++k)
            slots_[k].resize(static_cast<size_t>(outputCount(model.nodes[k])));
    }

    bool run(const std::vector<std::string>& outputs, std::string& error);

  private:
    bool lower(int index, std::string& error);

    const ModelFile& model_;
    const std::vector<FeedInfo>& feeds_;
    Plan& plan_;
    std::vector<std::vector<Slot>> slots_;
    std::vector<char> dead_;
};

bool Planner::lower(int index, std::string& error) {
    const GraphNode& node = model_.nodes[index];
    std::vector<Slot>& out = slots_[index];
    Lowering lowering(model_, feeds_, plan_, slots_, node, out);
    const OperatorHandlers* handlers = findOperator(node.op);
    if (handlers == nullptr) return lowering.fail("operation not supported by the engine", error);

    // Deadness: an untaken Switch branch kills every node downstream except Merge.
    if (handlers->takesDeadInputs) {
        if (!handlers->lower(lowering, error)) return false;
        if (!out.empty() && std::all_of(out.begin(), out.end(),
                                        [](const Slot& s) { return s.state == Slot::State::dead; }))
            dead_[index] = 1;
        return true;
    }
    bool anyDead = false;
    for (int c : node.controls) anyDead = anyDead || dead_[c] != 0;
    for (const NodeInput& i : node.inputs)
        anyDead = anyDead || slots_[i.node][i.port].state == Slot::State::dead;
    if (anyDead) {
        dead_[index] = 1;
        for (Slot& s : out) s.state = Slot::State::dead;
        return true;
    }
    for (const NodeInput& i : node.inputs)
        if (slots_[i.node][i.port].state == Slot::State::unset)
            return lowering.fail("input from '" + model_.nodes[i.node].name + "' was not computed",
                                 error);
    if (!handlers->plumbing) {
        for (size_t k = 0; k < node.inputs.size(); ++k)
            if (lowering.in(k).shape.size() > kMaxBoxRank)
                return lowering.fail("tensors of rank above 8 are not supported", error);
        if (!node.inputs.empty() && lowering.isFlexible(lowering.in(0)) &&
            !handlers->takesFlexibleInput)
            return lowering.fail("a recurrent input may only be broadcast", error);
    }
    return handlers->lower(lowering, error);
}

bool Planner::run(const std::vector<std::string>& outputs, std::string& error) {
    // The nodes the outputs need, through data and control edges.
    std::vector<char> needed(model_.nodes.size(), 0);
    std::vector<int> stack;
    std::vector<std::pair<int, int>> wanted;
    for (const std::string& name : outputs) {
        std::string base;
        int port = 0;
        splitInputName(name, base, port);
        auto it = model_.index.find(base);
        if (it == model_.index.end() || port < 0 || port >= outputCount(model_.nodes[it->second])) {
            error = "the graph has no output '" + name + "'";
            return false;
        }
        wanted.emplace_back(it->second, port);
        stack.push_back(it->second);
    }
    while (!stack.empty()) {
        const int k = stack.back();
        stack.pop_back();
        if (needed[k]) continue;
        needed[k] = 1;
        for (const NodeInput& i : model_.nodes[k].inputs) stack.push_back(i.node);
        for (int c : model_.nodes[k].controls) stack.push_back(c);
    }
    for (int k : model_.order) {
        if (needed[k] && lower(k, error)) {
            // Shapes come from the model and the feeds: refuse absurd ones before they are used.
            for (const Slot& s : slots_[k]) {
                if (s.state == Slot::State::dead || s.state == Slot::State::unset) continue;
                int64_t count = 1;
                for (int64_t d : s.shape) {
                    if (d < 0 || (d > 0 && count > kMaxElements / d)) {
                        error = "node '" + model_.nodes[k].name + "' (" + model_.nodes[k].op +
                                "): shape " + shapeText(s.shape) + " is impossible or too large";
                        return false;
                    }
                    count *= d;
                }
            }
            continue;
        }
        if (needed[k]) {
            if (error.empty())
                error = "node '" + model_.nodes[k].name + "' (" + model_.nodes[k].op +
                        ") cannot be planned";
            return false;
        }
    }
    for (const auto& [node, port] : wanted) {
        const Slot& s = slots_[node][port];
        if (s.state == Slot::State::dead) {
            error = "output '" + model_.nodes[node].name + "' is on a branch not taken";
            return false;
        }
        PlanOutput o;
        o.shape = s.shape;
        o.value = s.state == Slot::State::constant ? s.value : nullptr;
        o.tensor = s.state == Slot::State::frame ? s.tensor : -1;
        plan_.outputs.push_back(o);
    }
    return true;
}

// One kernel per planned operation, built by the operator that emitted it.
bool makeSteps(Plan& plan, const EngineOptions& options, const dnnl::engine& engine,
               std::string& error) {
    const StepBuild build{plan, options.kernels == Kernels::fast, engine, options.winograd};
    for (const PlanOp& op : plan.ops) {
        if (op.removed) continue;
        std::unique_ptr<Step> step = op.makeStep != nullptr ? op.makeStep(build, op) : nullptr;
        if (!step) {
            error = "node '" + op.node + "': no kernel";
            return false;
        }
        step->label = op.label;
        step->node = op.node;
        plan.steps.push_back(std::move(step));
    }
    return true;
}

}  // namespace

bool checkSupported(const ModelFile& model, std::string& error) {
    for (const GraphNode& node : model.nodes)
        if (!checkNode(node, error)) return false;
    for (const GraphNode& node : model.nodes) {
        for (const NodeInput& i : node.inputs) {
            if (i.port >= outputCount(model.nodes[i.node])) {
                error = "node '" + node.name + "' reads output " + std::to_string(i.port) +
                        " of '" + model.nodes[i.node].name + "', which has " +
                        std::to_string(outputCount(model.nodes[i.node]));
                return false;
            }
        }
    }
    return true;
}

bool buildPlan(const ModelFile& model, const std::vector<FeedInfo>& feeds,
               const std::vector<std::string>& outputs, const EngineOptions& options,
               const dnnl::engine& engine, Plan& plan, std::string& error) {
    Planner planner(model, feeds, plan);
    if (!planner.run(outputs, error)) return false;
    if (options.kernels == Kernels::fast) fusePlan(plan, options.winograd);
    placeTensors(plan);
    const size_t bytes =
        static_cast<size_t>(std::max<int64_t>(plan.arenaFloats, 16)) * sizeof(float);
    void* memory = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (memory == nullptr) {
        error = "cannot allocate " + std::to_string(bytes >> 20) + " MB for the model's tensors";
        return false;
    }
    plan.arena.reset(static_cast<float*>(memory));
    return makeSteps(plan, options, engine, error);
}

}  // namespace figsplit::engine
