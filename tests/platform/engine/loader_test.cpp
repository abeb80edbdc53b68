// The model loader: weights decoded from every storage type, and malformed, truncated or
// mismatched models refused before anything runs, with the node or weight named.
#include <cmath>
#include <functional>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "model_builder.h"
#include "platform/engine/engine.h"
#include "platform/segmentation/embedded_models.h"

namespace figsplit::engine {
namespace {

using ::testing::HasSubstr;
using testing::Json;
using testing::ModelBuilder;

std::unique_ptr<Model> load(const ModelBuilder& b, std::string& error) {
    return Model::loadFromBytes(b.json(), b.weights(), error);
}

// Fetches one constant output of a model without inputs.
std::vector<float> fetch(Model& model, const std::string& output) {
    std::vector<Tensor> results;
    std::string error;
    EXPECT_TRUE(model.run({}, {output}, results, error)) << error;
    return results.empty() ? std::vector<float>{} : results[0].data;
}

TEST(EngineLoader, DecodesEveryWeightStorage) {
    ModelBuilder b;
    b.constFloat("f32", {2}, {1.5f, -0.25f});
    b.constUint8("u8", {3}, {0, 1, 255}, -1.0, 0.5);  // q * 0.5 - 1
    // float16: 1, -2.5, the largest finite half, the smallest subnormal, negative zero
    b.constHalf("f16", {5}, {0x3C00, 0xC100, 0x7BFF, 0x0001, 0x8000});
    b.constInt("i32", {2}, {-7, 123456});
    b.constBool("flags", {3}, {0, 1, 2});
    b.node("flags_f", "Cast", {"flags"},
           {{"SrcT", testing::attrType("DT_BOOL")}, {"DstT", testing::attrType("DT_FLOAT")}});
    std::string error;
    auto model = load(b, error);
    ASSERT_TRUE(model) << error;
    EXPECT_EQ(fetch(*model, "f32"), (std::vector<float>{1.5f, -0.25f}));
    EXPECT_EQ(fetch(*model, "u8"), (std::vector<float>{-1.0f, -0.5f, 126.5f}));
    const std::vector<float> half = fetch(*model, "f16");
    ASSERT_EQ(half.size(), 5u);
    EXPECT_EQ(half[0], 1.0f);
    EXPECT_EQ(half[1], -2.5f);
    EXPECT_EQ(half[2], 65504.0f);
    EXPECT_EQ(half[3], std::ldexp(1.0f, -24));
    EXPECT_TRUE(half[4] == 0.0f && std::signbit(half[4]));
    EXPECT_EQ(fetch(*model, "i32"), (std::vector<float>{-7.0f, 123456.0f}));
    EXPECT_EQ(fetch(*model, "flags_f"), (std::vector<float>{0.0f, 1.0f, 1.0f}));
}

// A valid little model: y = x * w + b, then each case spoils it in one way.
ModelBuilder goodModel() {
    ModelBuilder b;
    b.placeholder("x");
    b.constFloat("w", {2, 2}, {1, 2, 3, 4});
    b.constFloat("b", {2}, {0.5f, -0.5f});
    b.node("xw", "Mul", {"x", "w"});
    b.node("y", "AddV2", {"xw", "b"});
    return b;
}

struct Mutilation {
    const char* what;
    std::function<void(std::string& json, std::vector<uint8_t>& weights)> spoil;
    std::vector<std::string> expected;  // substrings of the error
};

Json parse(const std::string& s) {
    return Json::parse(s);
}

TEST(EngineLoader, RefusesBrokenModelsNamingTheCulprit) {
    auto edit = [](std::function<void(Json&)> f) {
        return [f](std::string& json, std::vector<uint8_t>&) {
            Json j = parse(json);
            f(j);
            json = j.dump();
        };
    };
    auto nodes = [](Json& j) -> Json& { return j["modelTopology"]["node"]; };
    auto manifest = [](Json& j) -> Json& { return j["weightsManifest"][0]["weights"]; };
    const std::vector<Mutilation> cases = {
        {"weight data one byte short",
         [](std::string&, std::vector<uint8_t>& w) { w.pop_back(); },
         {"weight 'b'", "float32 [2]", "needs 8 bytes at offset 16", "has 7 bytes left",
          "23 in all"}},
        {"weight data cut in the first weight",
         [](std::string&, std::vector<uint8_t>& w) { w.resize(10); },
         {"weight 'w'", "needs 16 bytes at offset 0", "has 10 bytes left"}},
        {"bytes beyond the manifest",
         [](std::string&, std::vector<uint8_t>& w) { w.push_back(0); },
         {"has 25 bytes but the manifest describes 24"}},
        {"manifest names a weight the graph lacks",
         edit([&](Json& j) { manifest(j)[1]["name"] = "nobody"; }),
         {"weight 'nobody' belongs to no Const node"}},
        {"Const node without a weight",
         [&](std::string& json, std::vector<uint8_t>& w) {
             Json j = parse(json);
             manifest(j).erase(1);
             json = j.dump();
             w.resize(16);
         },
         {"Const node 'b' has no weight in the manifest"}},
        {"weight type differs from its node",
         edit([&](Json& j) { manifest(j)[0]["dtype"] = "int32"; }),
         {"weight 'w' is int32 but its Const node declares DT_FLOAT"}},
        {"weight shape differs from its node",
         edit([&](Json& j) { manifest(j)[0]["shape"] = {4}; }),
         {"weight 'w' has shape [4] but its Const node declares [2,2]"}},
        {"shape whose size overflows",
         edit([&](Json& j) {
             manifest(j)[0]["shape"] = {2147483648LL, 2147483648LL, 2147483648LL, 4};
         }),
         {"weight 'w'", "bytes left"}},
        {"unsupported weight type",
         edit([&](Json& j) { manifest(j)[0]["dtype"] = "string"; }),
         {"weight 'w' has type string"}},
        {"unsupported quantization",
         edit([&](Json& j) {
             manifest(j)[0]["quantization"] = {{"dtype", "int4"}};
         }),
         {"weight 'w' uses quantization int4"}},
        {"uint8 quantization without scale",
         edit([&](Json& j) {
             manifest(j)[0]["quantization"] = {{"dtype", "uint8"}, {"min", 0}};
         }),
         {"weight 'w' is uint8-quantized without min and scale"}},
        {"operation the engine lacks",
         edit([&](Json& j) { nodes(j)[3]["op"] = "Erf"; }),
         {"node 'xw' (Erf): operation not supported"}},
        {"input naming no node",
         edit([&](Json& j) { nodes(j)[4]["input"][0] = "nope:0"; }),
         {"node 'y' names input 'nope:0'"}},
        {"input reading an output the node lacks",
         edit([&](Json& j) { nodes(j)[4]["input"][0] = "xw:2"; }),
         {"node 'y' reads output 2 of 'xw'"}},
        {"cycle", edit([&](Json& j) { nodes(j)[3]["input"][0] = "y"; }), {"cycle through node"}},
        {"duplicate node",
         edit([&](Json& j) { nodes(j)[4]["name"] = "xw"; }),
         {"node 'xw' appears twice"}},
        {"not JSON",
         [](std::string& json, std::vector<uint8_t>&) { json.resize(json.size() / 2); },
         {"not valid JSON"}},
        {"not a graph model",
         edit([](Json& j) { j["format"] = "layers-model"; }),
         {"not a TF.js graph model"}},
        {"no topology", edit([](Json& j) { j.erase("modelTopology"); }), {"no modelTopology"}},
        {"node without a name", edit([&](Json& j) { nodes(j)[3].erase("name"); }), {"malformed"}},
        {"attribute of the wrong kind",
         edit([&](Json& j) {
             nodes(j)[3]["attr"]["padding"] = {{"i", "not a number"}};
         }),
         {"node 'xw': attribute 'padding'"}},
    };
    for (const Mutilation& c : cases) {
        SCOPED_TRACE(c.what);
        ModelBuilder b = goodModel();
        std::string json = b.json();
        std::vector<uint8_t> weights = b.weights();
        c.spoil(json, weights);
        std::string error;
        EXPECT_FALSE(Model::loadFromBytes(json, weights, error));
        for (const std::string& s : c.expected) EXPECT_THAT(error, HasSubstr(s));
    }
    // ...and the unspoilt model loads and runs.
    std::string error;
    auto model = load(goodModel(), error);
    ASSERT_TRUE(model) << error;
    Tensor x{{2, 2}, {1, 1, 2, 2}};
    std::vector<Tensor> results;
    ASSERT_TRUE(model->run({{"x", &x}}, {"y"}, results, error)) << error;
    EXPECT_EQ(results[0].data, (std::vector<float>{1.5f, 1.5f, 6.5f, 7.5f}));
}

TEST(EngineLoader, RefusesUnsupportedAttributesAtLoad) {
    const std::vector<std::pair<Json, std::string>> cases = {
        {{{"padding", testing::attrS("SAME")},
          {"strides", testing::attrInts({1, 1, 1, 1})},
          {"data_format", testing::attrS("NCHW")}},
         "data format NCHW not supported"},
        {{{"padding", testing::attrS("REFLECT")}, {"strides", testing::attrInts({1, 1, 1, 1})}},
         "padding 'REFLECT' not supported"},
        {{{"padding", testing::attrS("SAME")}, {"strides", testing::attrInts({2, 1, 1, 1})}},
         "strides must be [1, h, w, 1]"},
        {{{"padding", testing::attrS("SAME")},
          {"strides", testing::attrInts({1, 1, 1, 1})},
          {"dilations", testing::attrInts({1, 0, 1, 1})}},
         "dilations must be [1, h, w, 1]"},
    };
    for (const auto& [attrs, expected] : cases) {
        SCOPED_TRACE(expected);
        ModelBuilder b;
        b.placeholder("x");
        b.constFloat("f", {1, 1, 1, 1}, {1});
        b.node("c", "Conv2D", {"x", "f"}, attrs);
        std::string error;
        EXPECT_FALSE(load(b, error));
        EXPECT_THAT(error, HasSubstr("node 'c' (Conv2D): " + expected));
    }
}

TEST(EngineLoader, EmbeddedModelsLoadAndTruncatedOnesAreRefused) {
    for (ModelKind kind : {ModelKind::rvm, ModelKind::selfie}) {
        std::string error;
        EXPECT_TRUE(loadEmbeddedModel(kind, error)) << error;
        const ModelBytes bytes = embeddedModel(kind);
        const std::span<const uint8_t> cut = bytes.weights.first(bytes.weights.size() - 100);
        EXPECT_FALSE(Model::loadFromBytes(bytes.json, cut, error));
        EXPECT_THAT(error, HasSubstr("needs"));
        EXPECT_THAT(error, HasSubstr("bytes left"));
        EXPECT_FALSE(Model::loadFromBytes(bytes.json.substr(0, bytes.json.size() - 1),
                                          bytes.weights, error));
        EXPECT_THAT(error, HasSubstr("not valid JSON"));
    }
}

}  // namespace
}  // namespace figsplit::engine
