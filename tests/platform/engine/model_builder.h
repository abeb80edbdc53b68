#pragma once
// Builds small TF.js graph models (model.json text and weight bytes) for tests of the loader and
// the interpreter: nodes with attributes in TensorFlow's JSON encoding, Const nodes whose values
// go into the weight data in manifest order.
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace figsplit::engine::testing {

using Json = nlohmann::json;

inline std::string base64(const std::string& text) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : text) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(digits[(bits >> count) & 63]);
        }
    }
    if (count > 0) out.push_back(digits[(bits << (6 - count)) & 63]);
    while (out.size() % 4 != 0) out.push_back('=');
    return out;
}

inline Json attrS(const std::string& s) {
    return {{"s", base64(s)}};
}
inline Json attrI(int64_t i) {
    return {{"i", std::to_string(i)}};
}
inline Json attrF(double f) {
    return {{"f", f}};
}
inline Json attrB(bool b) {
    return {{"b", b}};
}
inline Json attrType(const std::string& t) {
    return {{"type", t}};
}
inline Json attrInts(const std::vector<int64_t>& v) {
    Json list = Json::array();
    for (int64_t x : v) list.push_back(std::to_string(x));
    return {{"list", {{"i", list}}}};
}
inline Json attrStrings(const std::vector<std::string>& v) {
    Json list = Json::array();
    for (const std::string& x : v) list.push_back(base64(x));
    return {{"list", {{"s", list}}}};
}

class ModelBuilder {
  public:
    void placeholder(const std::string& name) {
        node(name, "Placeholder", {}, {{"dtype", attrType("DT_FLOAT")}});
    }

    void constFloat(const std::string& name, const std::vector<int64_t>& shape,
                    const std::vector<float>& values) {
        addConst(name, shape, "float32", "DT_FLOAT");
        append(values.data(), values.size() * 4);
    }

    void constInt(const std::string& name, const std::vector<int64_t>& shape,
                  const std::vector<int32_t>& values) {
        addConst(name, shape, "int32", "DT_INT32");
        append(values.data(), values.size() * 4);
    }

    void constBool(const std::string& name, const std::vector<int64_t>& shape,
                   const std::vector<uint8_t>& values) {
        addConst(name, shape, "bool", "DT_BOOL");
        append(values.data(), values.size());
    }

    // uint8 affine quantisation: value = q * scale + min.
    void constUint8(const std::string& name, const std::vector<int64_t>& shape,
                    const std::vector<uint8_t>& q, double min, double scale) {
        addConst(name, shape, "float32", "DT_FLOAT");
        manifest_.back()["quantization"] = {
            {"dtype", "uint8"}, {"min", min}, {"scale", scale}, {"original_dtype", "float32"}};
        append(q.data(), q.size());
    }

    void constHalf(const std::string& name, const std::vector<int64_t>& shape,
                   const std::vector<uint16_t>& h) {
        addConst(name, shape, "float32", "DT_FLOAT");
        manifest_.back()["quantization"] = {{"dtype", "float16"}, {"original_dtype", "float32"}};
        append(h.data(), h.size() * 2);
    }

    void node(const std::string& name, const std::string& op,
              const std::vector<std::string>& inputs, Json attrs = Json::object()) {
        Json n = {{"name", name}, {"op", op}, {"attr", attrs}};
        if (!inputs.empty()) n["input"] = inputs;
        nodes_.push_back(n);
    }

    Json& lastNode() { return nodes_.back(); }
    Json& lastWeight() { return manifest_.back(); }

    std::string json() const {
        Json root = {{"format", "graph-model"},
                     {"generatedBy", "test"},
                     {"convertedBy", "test"},
                     {"modelTopology", {{"node", nodes_}, {"versions", Json::object()}}},
                     {"weightsManifest",
                      Json::array({{{"paths", {"weights.bin"}}, {"weights", manifest_}}})}};
        return root.dump();
    }

    const std::vector<uint8_t>& weights() const { return data_; }

  private:
    void addConst(const std::string& name, const std::vector<int64_t>& shape,
                  const std::string& dtype, const std::string& tfType) {
        Json dims = Json::array();
        for (int64_t d : shape) dims.push_back({{"size", std::to_string(d)}});
        node(name, "Const", {},
             {{"dtype", attrType(tfType)},
              {"value", {{"tensor", {{"dtype", tfType}, {"tensorShape", {{"dim", dims}}}}}}}});
        manifest_.push_back({{"name", name}, {"shape", shape}, {"dtype", dtype}});
    }
    void append(const void* bytes, size_t n) {
        const auto* p = static_cast<const uint8_t*>(bytes);
        data_.insert(data_.end(), p, p + n);
    }

    Json nodes_ = Json::array();
    Json manifest_ = Json::array();
    std::vector<uint8_t> data_;
};

}  // namespace figsplit::engine::testing
