#include "platform/engine/model_file.h"

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <queue>

namespace figsplit::engine {

namespace {

using Json = nlohmann::json;

bool decodeBase64(const std::string& in, std::string& out) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+' || c == '-') return 62;
        if (c == '/' || c == '_') return 63;
        return -1;
    };
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

// proto3 JSON writes 64-bit integers as strings; accept numbers too.
int64_t jsonInteger(const Json& j) {
    if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        size_t used = 0;
        const long long v = std::stoll(s, &used);
        if (used != s.size()) throw std::invalid_argument("not an integer: " + s);
        return v;
    }
    if (j.is_number_integer()) return j.get<int64_t>();
    if (j.is_number()) return static_cast<int64_t>(j.get<double>());
    throw std::invalid_argument("expected an integer, found " + j.dump());
}

double jsonFloat(const Json& j) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        if (s == "NaN") return std::nan("");
        if (s == "Infinity") return INFINITY;
        if (s == "-Infinity") return -INFINITY;
        return std::stod(s);
    }
    throw std::invalid_argument("expected a number, found " + j.dump());
}

bool dtypeFromTf(const std::string& name, DType& type) {
    if (name == "DT_FLOAT") {
        type = DType::f32;
    } else if (name == "DT_INT32") {
        type = DType::i32;
    } else if (name == "DT_BOOL") {
        type = DType::boolean;
    } else {
        return false;
    }
    return true;
}

AttrValue parseAttr(const Json& j) {
    AttrValue a;
    if (!j.is_object()) throw std::invalid_argument("attribute is not an object");
    if (j.contains("s")) {
        a.kind = AttrValue::Kind::s;
        if (!decodeBase64(j["s"].get<std::string>(), a.s))
            throw std::invalid_argument("bad base64 string attribute");
    } else if (j.contains("i")) {
        a.kind = AttrValue::Kind::i;
        a.i = jsonInteger(j["i"]);
    } else if (j.contains("f")) {
        a.kind = AttrValue::Kind::f;
        a.f = jsonFloat(j["f"]);
    } else if (j.contains("b")) {
        a.kind = AttrValue::Kind::b;
        a.b = j["b"].get<bool>();
    } else if (j.contains("type")) {
        a.kind = AttrValue::Kind::type;
        a.typeName = j["type"].get<std::string>();
        a.typeKnown = dtypeFromTf(a.typeName, a.type);
    } else if (j.contains("list")) {
        a.kind = AttrValue::Kind::list;
        const Json& l = j["list"];
        if (l.contains("i"))
            for (const Json& x : l["i"]) a.ints.push_back(jsonInteger(x));
        if (l.contains("f"))
            for (const Json& x : l["f"]) a.floats.push_back(jsonFloat(x));
        if (l.contains("s")) {
            for (const Json& x : l["s"]) {
                std::string decoded;
                if (!decodeBase64(x.get<std::string>(), decoded))
                    throw std::invalid_argument("bad base64 string in a list attribute");
                a.strings.push_back(decoded);
            }
        }
    }
    return a;  // shapes, tensors and functions: kind none (the engine does not read them)
}

// Shape of a Const node's "value" tensor attribute, when present.
bool constShape(const Json& node, Shape& shape) {
    if (!node.contains("attr")) return false;
    const Json& attr = node["attr"];
    if (!attr.contains("value") || !attr["value"].contains("tensor")) return false;
    const Json& tensor = attr["value"]["tensor"];
    shape.clear();
    if (!tensor.contains("tensorShape")) return true;
    const Json& ts = tensor["tensorShape"];
    if (ts.contains("dim"))
        for (const Json& d : ts["dim"])
            shape.push_back(d.contains("size") ? jsonInteger(d["size"]) : 0);
    return true;
}

struct WeightSpec {
    std::string name;
    Shape shape;
    DType type = DType::f32;
    std::string storage;  // "float32", "int32", "bool", "uint8", "uint16", "float16"
    double min = 0.0, scale = 1.0;
    int64_t bytesPerElement = 4;
};

std::string describe(const WeightSpec& w) {
    std::string text = std::string(dtypeName(w.type)) + " " + shapeText(w.shape);
    if (w.storage != dtypeName(w.type)) text += ", stored as " + w.storage;
    return text;
}

bool parseWeightSpec(const Json& j, WeightSpec& w, std::string& error) {
    w.name = j.at("name").get<std::string>();
    for (const Json& d : j.at("shape")) {
        const int64_t n = jsonInteger(d);
        if (n < 0 || n > (int64_t{1} << 31)) {
            error = "weight '" + w.name + "' has an impossible dimension " + std::to_string(n);
            return false;
        }
        w.shape.push_back(n);
    }
    const std::string dtype = j.at("dtype").get<std::string>();
    if (dtype == "float32") {
        w.type = DType::f32;
    } else if (dtype == "int32") {
        w.type = DType::i32;
    } else if (dtype == "bool") {
        w.type = DType::boolean;
    } else {
        error = "weight '" + w.name + "' has type " + dtype + ", which the engine does not read";
        return false;
    }
    w.storage = dtype;
    w.bytesPerElement = w.type == DType::boolean ? 1 : 4;
    if (j.contains("quantization") && !j["quantization"].is_null()) {
        const Json& q = j["quantization"];
        const std::string qtype = q.at("dtype").get<std::string>();
        if (w.type != DType::f32) {
            error = "weight '" + w.name + "' is a quantized " + dtype +
                    " tensor, which the engine does not read";
            return false;
        }
        if (qtype == "uint8" || qtype == "uint16") {
            if (!q.contains("min") || !q.contains("scale")) {
                error = "weight '" + w.name + "' is " + qtype + "-quantized without min and scale";
                return false;
            }
            w.min = jsonFloat(q["min"]);
            w.scale = jsonFloat(q["scale"]);
            w.bytesPerElement = qtype == "uint8" ? 1 : 2;
        } else if (qtype == "float16") {
            w.bytesPerElement = 2;
        } else {
            error = "weight '" + w.name + "' uses quantization " + qtype +
                    ", which the engine does not read";
            return false;
        }
        w.storage = qtype;
    }
    return true;
}

Value decodeWeight(const WeightSpec& w, const uint8_t* bytes) {
    const int64_t n = elementCount(w.shape);
    if (w.type == DType::f32) {
        std::vector<float> data(static_cast<size_t>(n));
        if (w.storage == "uint8") {
            for (int64_t k = 0; k < n; ++k)
                data[k] = static_cast<float>(bytes[k] * w.scale + w.min);
        } else if (w.storage == "uint16") {
            for (int64_t k = 0; k < n; ++k) {
                uint16_t q;
                std::memcpy(&q, bytes + 2 * k, 2);
                data[k] = static_cast<float>(q * w.scale + w.min);
            }
        } else if (w.storage == "float16") {
            for (int64_t k = 0; k < n; ++k) {
                uint16_t h;
                std::memcpy(&h, bytes + 2 * k, 2);
                data[k] = halfToFloat(h);
            }
        } else {
            std::memcpy(data.data(), bytes, static_cast<size_t>(n) * 4);
        }
        return Value::ofFloats(w.shape, std::move(data));
    }
    std::vector<int32_t> data(static_cast<size_t>(n));
    if (w.type == DType::boolean) {
        for (int64_t k = 0; k < n; ++k) data[k] = bytes[k] != 0 ? 1 : 0;
    } else {
        std::memcpy(data.data(), bytes, static_cast<size_t>(n) * 4);
    }
    return Value::ofInts(w.shape, std::move(data), w.type);
}

bool parseNodes(const Json& topology, ModelFile& model, std::string& error) {
    if (!topology.contains("node") || !topology["node"].is_array()) {
        error = "model.json has no modelTopology.node list";
        return false;
    }
    const Json& nodes = topology["node"];
    model.nodes.reserve(nodes.size());
    for (const Json& jn : nodes) {
        GraphNode node;
        node.name = jn.at("name").get<std::string>();
        node.op = jn.at("op").get<std::string>();
        if (model.index.count(node.name) != 0) {
            error = "node '" + node.name + "' appears twice in the graph";
            return false;
        }
        if (jn.contains("attr")) {
            for (auto it = jn["attr"].begin(); it != jn["attr"].end(); ++it) {
                try {
                    node.attrs[it.key()] = parseAttr(it.value());
                } catch (const std::exception& e) {
                    error = "node '" + node.name + "': attribute '" + it.key() + "': " + e.what();
                    return false;
                }
            }
        }
        if (node.op == "Const") {
            try {
                node.declaresShape = constShape(jn, node.declaredShape);
            } catch (const std::exception& e) {
                error = "Const node '" + node.name + "' declares an unreadable shape: " + e.what();
                return false;
            }
        }
        model.index[node.name] = static_cast<int>(model.nodes.size());
        model.nodes.push_back(std::move(node));
    }
    // Resolve inputs once every name is known.
    for (size_t k = 0; k < nodes.size(); ++k) {
        GraphNode& node = model.nodes[k];
        if (!nodes[k].contains("input")) continue;
        for (const Json& ji : nodes[k]["input"]) {
            std::string name;
            int port = 0;
            const std::string text = ji.get<std::string>();
            splitInputName(text, name, port);
            auto it = model.index.find(name);
            if (it == model.index.end()) {
                error = "node '" + node.name + "' names input '" + text +
                        "', which is not a node of the graph";
                return false;
            }
            if (port < 0) {
                node.controls.push_back(it->second);
            } else {
                node.inputs.push_back({it->second, port});
            }
        }
    }
    return true;
}

bool sortNodes(ModelFile& model, std::string& error) {
    const size_t n = model.nodes.size();
    std::vector<int> pending(n, 0);
    std::vector<std::vector<int>> users(n);
    for (size_t k = 0; k < n; ++k) {
        for (const NodeInput& in : model.nodes[k].inputs)
            users[in.node].push_back(static_cast<int>(k));
        for (int c : model.nodes[k].controls) users[c].push_back(static_cast<int>(k));
        pending[k] =
            static_cast<int>(model.nodes[k].inputs.size() + model.nodes[k].controls.size());
    }
    std::queue<int> ready;
    for (size_t k = 0; k < n; ++k)
        if (pending[k] == 0) ready.push(static_cast<int>(k));
    model.order.clear();
    while (!ready.empty()) {
        const int k = ready.front();
        ready.pop();
        model.order.push_back(k);
        for (int u : users[k])
            if (--pending[u] == 0) ready.push(u);
    }
    if (model.order.size() != n) {
        for (size_t k = 0; k < n; ++k) {
            if (pending[k] > 0) {
                error = "the graph has a cycle through node '" + model.nodes[k].name + "'";
                return false;
            }
        }
    }
    return true;
}

bool readWeights(const Json& root, std::span<const uint8_t> data, ModelFile& model,
                 std::string& error) {
    if (!root.contains("weightsManifest") || !root["weightsManifest"].is_array()) {
        error = "model.json has no weightsManifest";
        return false;
    }
    size_t offset = 0;
    std::map<std::string, int> seen;
    for (const Json& group : root["weightsManifest"]) {
        for (const Json& jw : group.at("weights")) {
            WeightSpec w;
            if (!parseWeightSpec(jw, w, error)) return false;
            // Element count, saturating: a hostile manifest must not overflow the size check.
            uint64_t n = 1;
            for (int64_t d : w.shape) {
                const uint64_t dim = static_cast<uint64_t>(d);
                n = dim == 0 ? 0 : (n > (uint64_t{1} << 40) / dim ? uint64_t{1} << 41 : n * dim);
            }
            const uint64_t bytes = n * static_cast<uint64_t>(w.bytesPerElement);
            if (bytes > data.size() - offset) {
                error = "weight '" + w.name + "' (" + describe(w) + ") needs " +
                        std::to_string(bytes) + " bytes at offset " + std::to_string(offset) +
                        " but the weight data has " + std::to_string(data.size() - offset) +
                        " bytes left (" + std::to_string(data.size()) + " in all)";
                return false;
            }
            auto it = model.index.find(w.name);
            if (it == model.index.end() || model.nodes[it->second].op != "Const") {
                error = "weight '" + w.name + "' belongs to no Const node of the graph";
                return false;
            }
            if (!seen.emplace(w.name, 1).second) {
                error = "weight '" + w.name + "' appears twice in the manifest";
                return false;
            }
            GraphNode& node = model.nodes[it->second];
            const AttrValue* dtype = node.attr("dtype");
            if (dtype != nullptr && dtype->kind == AttrValue::Kind::type &&
                (!dtype->typeKnown || dtype->type != w.type)) {
                error = "weight '" + w.name + "' is " + dtypeName(w.type) +
                        " but its Const node declares " + dtype->typeName;
                return false;
            }
            if (node.declaresShape && node.declaredShape != w.shape) {
                error = "weight '" + w.name + "' has shape " + shapeText(w.shape) +
                        " but its Const node declares " + shapeText(node.declaredShape);
                return false;
            }
            node.weight = static_cast<int>(model.weights.size());
            model.weights.push_back(decodeWeight(w, data.data() + offset));
            offset += bytes;
        }
    }
    if (offset != data.size()) {
        error = "the weight data has " + std::to_string(data.size()) +
                " bytes but the manifest describes " + std::to_string(offset);
        return false;
    }
    for (const GraphNode& node : model.nodes) {
        if (node.op == "Const" && node.weight < 0) {
            error = "Const node '" + node.name + "' has no weight in the manifest";
            return false;
        }
    }
    return true;
}

}  // namespace

const AttrValue* GraphNode::attr(const std::string& key) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? nullptr : &it->second;
}

void splitInputName(std::string_view text, std::string& name, int& port) {
    port = 0;
    if (!text.empty() && text[0] == '^') {
        name = std::string(text.substr(1));
        port = -1;
        return;
    }
    const size_t colon = text.rfind(':');
    if (colon != std::string_view::npos && colon + 1 < text.size()) {
        bool digits = true;
        int value = 0;
        for (size_t k = colon + 1; k < text.size(); ++k) {
            if (text[k] < '0' || text[k] > '9' || value > 100000) {
                digits = false;
                break;
            }
            value = value * 10 + (text[k] - '0');
        }
        if (digits) {
            name = std::string(text.substr(0, colon));
            port = value;
            return;
        }
    }
    name = std::string(text);
}

float halfToFloat(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
    const uint32_t exponent = (h >> 10) & 0x1F;
    const uint32_t mantissa = h & 0x3FF;
    uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {  // subnormal: normalise
            int e = -1;
            uint32_t m = mantissa;
            do {
                ++e;
                m <<= 1;
            } while ((m & 0x400) == 0);
            bits = sign | static_cast<uint32_t>(127 - 15 - e) << 23 | (m & 0x3FF) << 13;
        }
    } else if (exponent == 31) {
        bits = sign | 0x7F800000 | mantissa << 13;
    } else {
        bits = sign | (exponent + 127 - 15) << 23 | mantissa << 13;
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

bool readModelFile(std::string_view json, std::span<const uint8_t> weightData, ModelFile& model,
                   std::string& error) {
    model = ModelFile{};
    const Json root = Json::parse(json.begin(), json.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        error = "model.json is not valid JSON";
        return false;
    }
    try {
        if (root.value("format", std::string()) != "graph-model") {
            error = "model.json is not a TF.js graph model (format \"" +
                    root.value("format", std::string()) + "\")";
            return false;
        }
        if (!root.contains("modelTopology")) {
            error = "model.json has no modelTopology";
            return false;
        }
        if (!parseNodes(root["modelTopology"], model, error)) return false;
        if (!sortNodes(model, error)) return false;
        if (!readWeights(root, weightData, model, error)) return false;
        if (root.contains("signature") && root["signature"].contains("outputs")) {
            for (auto it = root["signature"]["outputs"].begin();
                 it != root["signature"]["outputs"].end(); ++it)
                model.outputs[it.key()] = it.value().value("name", std::string());
        }
    } catch (const std::exception& e) {
        error = std::string("model.json is malformed: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace figsplit::engine
