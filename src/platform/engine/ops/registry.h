#pragma once
// The operators the engine supports: one table (registry.cpp) maps each TensorFlow op name to
// the handlers in that operator's file under ops/. A name missing from the table is refused when
// the model loads.
#include <string>
#include <string_view>

#include "platform/engine/lowering.h"

namespace figsplit::engine {

struct OperatorHandlers {
    // How many outputs a node has (null: one).
    int (*outputCount)(const GraphNode& node) = nullptr;
    // The load-time check of a node's attributes and input count; on failure sets `what` (null:
    // nothing to check).
    bool (*check)(const GraphNode& node, std::string& what) = nullptr;
    // Lowers a node whose inputs are planned: computes constants, creates views, or emits
    // planned operations. On failure sets `error` (through Lowering::fail).
    bool (*lower)(Lowering& lowering, std::string& error) = nullptr;
    // Graph plumbing (Const, Placeholder, Identity, Switch, Merge...): lowered before the checks
    // that frame operations get (tensor rank, recurrent inputs).
    bool plumbing = false;
    // Lowered even when an input is dead (Merge picks the live one).
    bool takesDeadInputs = false;
    // May read a recurrent input whose shape changes between runs (it only broadcasts it).
    bool takesFlexibleInput = false;
};

struct OperatorEntry {
    std::string_view name;
    const OperatorHandlers* handlers;
};

// The handlers of a TensorFlow op, or null when the engine does not support it.
const OperatorHandlers* findOperator(std::string_view op);

// Number of outputs of a supported node (1 for unsupported ones).
int outputCount(const GraphNode& node);

}  // namespace figsplit::engine
