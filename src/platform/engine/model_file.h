#pragma once
// Reading a TF.js graph model: model.json (a TensorFlow GraphDef in JSON plus the weights
// manifest) and its weight data. The result is a plain, checked graph: every input resolved to a
// node and output port, nodes in an order where inputs come first, and every Const node's value
// decoded from the weight data (uint8 affine and float16 quantisation undone).
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine/value.h"

namespace figsplit::engine {

// One attribute of a node, as far as the engine reads attributes.
struct AttrValue {
    enum class Kind { none, s, i, f, b, type, list } kind = Kind::none;
    std::string s;
    int64_t i = 0;
    double f = 0.0;
    bool b = false;
    DType type = DType::f32;
    bool typeKnown = false;  // false for types the engine does not handle (e.g. DT_STRING)
    std::string typeName;
    std::vector<int64_t> ints;
    std::vector<std::string> strings;
    std::vector<double> floats;
};

struct NodeInput {
    int node = -1;
    int port = 0;
};

struct GraphNode {
    std::string name;
    std::string op;
    std::vector<NodeInput> inputs;  // data inputs, in order
    std::vector<int> controls;      // nodes that must run first ("^name" inputs)
    std::map<std::string, AttrValue> attrs;
    int weight = -1;             // Const: index into ModelFile::weights
    bool declaresShape = false;  // Const: the shape its "value" attribute declares
    Shape declaredShape;

    const AttrValue* attr(const std::string& key) const;
};

struct ModelFile {
    std::vector<GraphNode> nodes;
    std::vector<Value> weights;
    std::map<std::string, int, std::less<>> index;  // node name -> node
    std::vector<int> order;                         // every node after its inputs and controls
    // Signature names (e.g. "pha" -> "Identity_1:0"), when the model has a signature.
    std::map<std::string, std::string> outputs;
};

// Parses model.json and the weight data (all shards of the manifest, concatenated in order).
// Checks every weight's name, type and byte size against the manifest and the graph, and that
// the graph is acyclic with every input naming a node. On failure returns false and sets `error`
// to a message that names the node or weight.
bool readModelFile(std::string_view json, std::span<const uint8_t> weightData, ModelFile& model,
                   std::string& error);

// Splits "name", "name:k" and "^name" into the name and port (-1 for a control input).
void splitInputName(std::string_view text, std::string& name, int& port);

// Decodes an IEEE half-precision float.
float halfToFloat(uint16_t h);

}  // namespace figsplit::engine
