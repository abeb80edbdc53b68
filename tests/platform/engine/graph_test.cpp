// The interpreter on small hand-made graphs: TensorFlow semantics of shape arithmetic computed at
// run time, Switch/Merge with the untaken branch never run, broadcasting of recurrent inputs,
// re-planning when shapes change; and the fused plan (fast kernels) against the unfused one
// (reference kernels) on a graph written the way rvm's encoder writes its blocks.
#include <cmath>
#include <random>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "model_builder.h"
#include "platform/engine/engine.h"

namespace figsplit::engine {
namespace {

using testing::attrB;
using testing::attrI;
using testing::attrInts;
using testing::attrS;
using testing::attrStrings;
using testing::attrType;
using ::testing::HasSubstr;
using Shape = std::vector<int64_t>;
using testing::ModelBuilder;

std::unique_ptr<Model> load(const ModelBuilder& b, EngineOptions options = {}) {
    std::string error;
    auto model = Model::loadFromBytes(b.json(), b.weights(), error, options);
    EXPECT_TRUE(model) << error;
    return model;
}

Tensor ramp(Shape shape) {
    Tensor t;
    t.shape = shape;
    t.data.resize(static_cast<size_t>(t.elementCount()));
    for (size_t k = 0; k < t.data.size(); ++k) t.data[k] = static_cast<float>(k);
    return t;
}

TEST(EngineGraph, ShapeArithmeticFollowsTensorFlow) {
    // From x [1,H,W,C]: StridedSlice with shrink picks H and W, a negative index picks C; Pack,
    // Slice, Split, SplitV, ConcatV2 and Pad rearrange frame data.
    ModelBuilder b;
    b.placeholder("x");
    b.node("shape", "Shape", {"x"}, {{"out_type", attrType("DT_INT32")}});
    b.constInt("b1", {1}, {1});
    b.constInt("e1", {1}, {3});
    b.constInt("s1", {1}, {1});
    b.node("hw", "StridedSlice", {"shape", "b1", "e1", "s1"},
           {{"begin_mask", attrI(0)},
            {"end_mask", attrI(0)},
            {"shrink_axis_mask", attrI(0)},
            {"ellipsis_mask", attrI(0)},
            {"new_axis_mask", attrI(0)}});
    b.constInt("bm1", {1}, {-1});
    b.constInt("em1", {1}, {0});
    b.node("c", "StridedSlice", {"shape", "bm1", "em1", "s1"},
           {{"begin_mask", attrI(0)}, {"end_mask", attrI(1)}, {"shrink_axis_mask", attrI(1)}});
    b.constInt("two", {}, {2});
    b.node("hw2", "Mul", {"hw", "two"});
    b.node("packed", "Pack", {"c", "c"}, {{"axis", attrI(0)}});
    b.node("up", "ResizeBilinear", {"x", "hw2"},
           {{"half_pixel_centers", attrB(true)}, {"align_corners", attrB(false)}});
    // Slice the first row and the last two columns.
    b.constInt("sb", {4}, {0, 0, 1, 0});
    b.constInt("ss", {4}, {1, 1, -1, -1});
    b.node("slice", "Slice", {"x", "sb", "ss"});
    b.constInt("axis", {}, {-1});
    b.node("split", "Split", {"axis", "x"}, {{"num_split", attrI(2)}});
    b.constInt("sizes", {2}, {-1, 1});
    b.node("splitv", "SplitV", {"x", "sizes", "axis"}, {{"num_split", attrI(2)}});
    b.node("concat", "ConcatV2", {"split:1", "split:0", "axis"});
    b.constInt("pads", {4, 2}, {0, 0, 1, 0, 0, 2, 0, 0});
    b.node("pad", "Pad", {"x", "pads"});
    auto model = load(b);
    ASSERT_TRUE(model);
    const Tensor x = ramp({1, 2, 3, 2});  // values 0..11
    std::vector<Tensor> r;
    std::string error;
    ASSERT_TRUE(model->run(
        {{"x", &x}}, {"hw", "c", "packed", "up", "slice", "splitv:0", "splitv:1", "concat", "pad"},
        r, error))
        << error;
    EXPECT_EQ(r[0].data, (std::vector<float>{2, 3}));
    EXPECT_TRUE(r[1].shape.empty());
    EXPECT_EQ(r[1].data, (std::vector<float>{2}));
    EXPECT_EQ(r[2].data, (std::vector<float>{2, 2}));
    EXPECT_EQ(r[3].shape, (Shape{1, 4, 6, 2}));
    EXPECT_EQ(r[4].shape, (Shape{1, 1, 2, 2}));
    EXPECT_EQ(r[4].data, (std::vector<float>{2, 3, 4, 5}));
    EXPECT_EQ(r[5].data, (std::vector<float>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(r[6].data, (std::vector<float>{1, 3, 5, 7, 9, 11}));
    EXPECT_EQ(r[7].data, (std::vector<float>{1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10}));
    EXPECT_EQ(r[8].shape, (Shape{1, 3, 5, 2}));
    EXPECT_EQ(r[8].data[0], 0.0f);
    EXPECT_EQ(r[8].data[6], 0.0f);  // the padded top row
    EXPECT_EQ(r[8].data[10], 0.0f);
    EXPECT_EQ(r[8].data[11], 1.0f);
    // A new input size gets a new plan with new shapes.
    const Tensor bigger = ramp({1, 5, 7, 2});
    ASSERT_TRUE(model->run({{"x", &bigger}}, {"hw", "up"}, r, error)) << error;
    EXPECT_EQ(r[0].data, (std::vector<float>{5, 7}));
    EXPECT_EQ(r[1].shape, (Shape{1, 10, 14, 2}));
}

// out = Merge(x * 2 if ratio != 1, x if ratio == 1): the untaken branch holds a reshape that
// cannot be planned, so it must not be.
ModelBuilder switchModel() {
    ModelBuilder b;
    b.placeholder("x");
    b.placeholder("ratio");
    b.constFloat("one", {}, {1.0f});
    b.node("eq", "Equal", {"ratio", "one"});
    b.node("sw", "Switch", {"x", "eq"});
    b.constFloat("two", {}, {2.0f});
    b.node("doubled", "Mul", {"sw:0", "two"});
    b.constInt("impossible", {1}, {1000});
    b.node("broken", "Reshape", {"sw:1", "impossible"});
    b.node("kept", "Identity", {"sw:1"});
    b.node("out", "Merge", {"doubled", "kept"});
    b.node("out_broken", "Merge", {"doubled", "broken"});
    return b;
}

TEST(EngineGraph, SwitchRunsOnlyTheTakenBranch) {
    auto model = load(switchModel());
    ASSERT_TRUE(model);
    const Tensor x = ramp({1, 2, 2, 1});
    std::vector<Tensor> r;
    std::string error;
    Tensor ratio{{}, {0.5f}};
    ASSERT_TRUE(model->run({{"x", &x}, {"ratio", &ratio}}, {"out", "out_broken"}, r, error))
        << error;
    EXPECT_EQ(r[0].data, (std::vector<float>{0, 2, 4, 6}));
    EXPECT_EQ(r[1].data, (std::vector<float>{0, 2, 4, 6}));
    ratio.data[0] = 1.0f;  // a new scalar value: a new plan, the other branch
    ASSERT_TRUE(model->run({{"x", &x}, {"ratio", &ratio}}, {"out"}, r, error)) << error;
    EXPECT_EQ(r[0].data, (std::vector<float>{0, 1, 2, 3}));
    EXPECT_FALSE(model->run({{"x", &x}, {"ratio", &ratio}}, {"out_broken"}, r, error));
    EXPECT_THAT(error, HasSubstr("node 'broken' (Reshape): cannot reshape [1,2,2,1] to [1000]"));
    EXPECT_FALSE(model->run({{"x", &x}, {"ratio", &ratio}}, {"doubled"}, r, error));
    EXPECT_THAT(error, HasSubstr("branch not taken"));
    // A predicate that depends on frame data cannot choose a branch before the frame.
    const Tensor frameRatio{{1}, {1.0f}};
    EXPECT_FALSE(model->run({{"x", &x}, {"ratio", &frameRatio}}, {"out"}, r, error));
    EXPECT_THAT(
        error,
        HasSubstr("node 'sw' (Switch): the branch condition must be known before the frame"));
}

TEST(EngineGraph, RunErrorsNameTheProblem) {
    auto model = load(switchModel());
    ASSERT_TRUE(model);
    const Tensor x = ramp({1, 2, 2, 1});
    const Tensor ratio{{}, {0.5f}};
    std::vector<Tensor> r;
    std::string error;
    EXPECT_FALSE(model->run({{"x", &x}}, {"out"}, r, error));
    EXPECT_THAT(error, HasSubstr("node 'ratio' (Placeholder): the input is not fed"));
    EXPECT_FALSE(model->run({{"x", &x}, {"ratio", &ratio}}, {"nothing"}, r, error));
    EXPECT_THAT(error, HasSubstr("the graph has no output 'nothing'"));
    EXPECT_FALSE(model->run({{"x", &x}, {"ratio", &ratio}, {"two", &ratio}}, {"out"}, r, error));
    EXPECT_THAT(error, HasSubstr("the model has no input 'two'"));
    const Tensor short_{{1, 2, 2, 1}, {1, 2, 3}};
    EXPECT_FALSE(model->run({{"x", &short_}, {"ratio", &ratio}}, {"out"}, r, error));
    EXPECT_THAT(error, HasSubstr("input 'x' has 3 values"));
    // A shape computed inside the graph that no memory could hold is refused before planning on.
    {
        ModelBuilder big;
        big.placeholder("x");
        big.constInt("pads", {4, 2}, {0, 0, 100000, 100000, 100000, 100000, 0, 0});
        big.node("huge", "Pad", {"x", "pads"});
        auto hugeModel = load(big);
        ASSERT_TRUE(hugeModel);
        EXPECT_FALSE(hugeModel->run({{"x", &x}}, {"huge"}, r, error));
        EXPECT_THAT(
            error,
            HasSubstr("node 'huge' (Pad): shape [1,200002,200002,1] is impossible or too large"));
    }
    const Tensor empty{{1, 0, 2, 1}, {}};
    EXPECT_FALSE(model->run({{"x", &empty}, {"ratio", &ratio}}, {"out"}, r, error));
    EXPECT_THAT(error, HasSubstr("impossible shape"));
}

TEST(EngineGraph, FloorDivFloorsFrameDataAndConstants) {
    // Frame data by a constant, and a quotient of integer constants computed while planning.
    ModelBuilder b;
    b.placeholder("x");
    b.constFloat("d", {4}, {2.0f, -2.0f, 0.5f, -0.75f});
    b.node("q", "FloorDiv", {"x", "d"});
    b.constInt("i", {2}, {-7, 7});
    b.constInt("j", {2}, {2, 2});
    b.node("iq", "FloorDiv", {"i", "j"});  // [-4, 3]
    b.node("fq", "Cast", {"iq"}, {{"DstT", attrType("DT_FLOAT")}});
    for (Kernels kernels : {Kernels::fast, Kernels::reference}) {
        EngineOptions options;
        options.kernels = kernels;
        auto model = load(b, options);
        ASSERT_TRUE(model);
        const Tensor x{{1, 1, 1, 4}, {-3.0f, 3.0f, -0.3f, 1.0f}};
        std::vector<Tensor> r;
        std::string error;
        ASSERT_TRUE(model->run({{"x", &x}}, {"q", "fq"}, r, error)) << error;
        EXPECT_EQ(r[0].data, (std::vector<float>{-2.0f, -2.0f, -1.0f, -2.0f}));
        EXPECT_EQ(r[1].data, (std::vector<float>{-4.0f, 3.0f}));
    }
}

TEST(EngineGraph, RecurrentInputsBroadcastFromAnyCompatibleShape) {
    // h = BroadcastTo(state, Shape(x)); out = x + h. The state may be [1,1,1,1] zeros or the full
    // shape, without a new plan; a shape that does not broadcast is an error.
    ModelBuilder b;
    b.placeholder("x");
    b.placeholder("state");
    b.node("shape", "Shape", {"x"}, {{"out_type", attrType("DT_INT32")}});
    b.node("h", "BroadcastTo", {"state", "shape"});
    b.node("out", "AddV2", {"x", "h"});
    auto model = load(b);
    ASSERT_TRUE(model);
    const Tensor x = ramp({1, 2, 3, 2});
    std::vector<Tensor> r;
    std::string error;
    const Tensor zero{{1, 1, 1, 1}, {0.0f}};
    ASSERT_TRUE(model->run({{"x", &x}, {"state", &zero}}, {"out"}, r, error)) << error;
    EXPECT_EQ(r[0].data, x.data);
    const Tensor full = ramp({1, 2, 3, 2});
    ASSERT_TRUE(model->run({{"x", &x}, {"state", &full}}, {"out"}, r, error)) << error;
    EXPECT_EQ(r[0].data[11], 22.0f);
    const Tensor perChannel{{2}, {10.0f, 20.0f}};
    ASSERT_TRUE(model->run({{"x", &x}, {"state", &perChannel}}, {"out"}, r, error)) << error;
    EXPECT_EQ(r[0].data[0], 10.0f);
    EXPECT_EQ(r[0].data[1], 21.0f);
    const Tensor wrong = ramp({1, 3, 2, 2});
    EXPECT_FALSE(model->run({{"x", &x}, {"state", &wrong}}, {"out"}, r, error));
    EXPECT_THAT(error, HasSubstr("node 'h': input [1,3,2,2] does not broadcast to [1,2,3,2]"));
}

TEST(EngineGraph, LeavesTheCallersDenormalsAlone) {
    // Models run with denormals flushed (they are slow); the caller's own arithmetic keeps them.
    auto model = load(switchModel());
    ASSERT_TRUE(model);
    const Tensor x = ramp({1, 2, 2, 1});
    const Tensor ratio{{}, {0.5f}};
    std::vector<Tensor> r;
    std::string error;
    ASSERT_TRUE(model->run({{"x", &x}, {"ratio", &ratio}}, {"out"}, r, error)) << error;
    volatile float tiny = 1e-40f;  // a denormal
    volatile float half = 0.5f;
    EXPECT_GT(tiny * half, 0.0f);
}

std::vector<float> randomValues(size_t n, uint32_t seed, float scale) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-scale, scale);
    std::vector<float> v(n);
    for (float& x : v) x = value(random);
    return v;
}

// One inverted-residual block as rvm writes it: explicit Pad + VALID 1x1/3x3 convolutions with
// BiasAdd (+Relu) fused by the converter, hard-swish as four ops, batch norm as Mul + Add after a
// dilated depthwise convolution written as SpaceToBatchND / BatchToSpaceND, a residual AddV2,
// and a 2x-upsampled, sliced, concatenated decoder step with a sigmoid gate.
ModelBuilder blockModel() {
    ModelBuilder b;
    const auto conv = [&](const std::string& name, const std::string& input, int64_t k, int64_t in,
                          int64_t out, const std::vector<std::string>& fused,
                          const std::string& padding, uint32_t seed) {
        b.constFloat(name + "/w", {k, k, in, out},
                     randomValues(static_cast<size_t>(k * k * in * out), seed, 0.5f));
        b.constFloat(name + "/b", {out}, randomValues(static_cast<size_t>(out), seed + 1, 0.5f));
        b.node(name, "_FusedConv2D", {input, name + "/w", name + "/b"},
               {{"padding", attrS(padding)},
                {"strides", attrInts({1, 1, 1, 1})},
                {"dilations", attrInts({1, 1, 1, 1})},
                {"fused_ops", attrStrings(fused)},
                {"num_args", attrI(1)},
                {"data_format", attrS("NHWC")}});
    };
    const auto hardswish = [&](const std::string& name, const std::string& x) {
        b.constFloat(name + "/sixth", {}, {1.0f / 6.0f});
        b.constFloat(name + "/three", {}, {3.0f});
        b.node(name + "/scaled", "Mul", {name + "/sixth", x});
        b.node(name + "/plus", "AddV2", {x, name + "/three"});
        b.node(name + "/relu6", "Relu6", {name + "/plus"});
        b.node(name, "Mul", {name + "/scaled", name + "/relu6"});
    };
    b.placeholder("x");  // [1,13,13,3]
    b.constInt("pad1", {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
    b.node("padded", "Pad", {"x", "pad1"});
    conv("expand", "padded", 3, 3, 8, {"BiasAdd"}, "VALID", 1);
    hardswish("hs1", "expand");
    b.constInt("pad4", {4, 2}, {0, 0, 4, 4, 4, 4, 0, 0});
    b.node("padded4", "Pad", {"hs1", "pad4"});
    b.constInt("block", {2}, {2, 2});
    b.constInt("s2bpad", {2, 2}, {0, 1, 0, 1});
    b.node("s2b", "SpaceToBatchND", {"padded4", "block", "s2bpad"});
    b.constFloat("dw/w", {5, 5, 8, 1}, randomValues(200, 7, 0.3f));
    b.node("dw", "DepthwiseConv2dNative", {"s2b", "dw/w"},
           {{"padding", attrS("VALID")},
            {"strides", attrInts({1, 1, 1, 1})},
            {"dilations", attrInts({1, 1, 1, 1})}});
    b.node("b2s", "BatchToSpaceND", {"dw", "block", "s2bpad"});
    b.constFloat("bn/scale", {8}, randomValues(8, 8, 1.0f));
    b.constFloat("bn/offset", {8}, randomValues(8, 9, 1.0f));
    b.node("bn/mul", "Mul", {"b2s", "bn/scale"});
    b.node("bn", "Add", {"bn/mul", "bn/offset"});
    hardswish("hs2", "bn");
    conv("project", "hs2", 1, 8, 8, {"BiasAdd"}, "VALID", 10);
    b.node("residual", "AddV2", {"project", "hs1"});
    // decoder step: upsample x2, crop back, concatenate with the input, 3x3 SAME conv, sigmoid gate
    b.node("shape", "Shape", {"residual"}, {{"out_type", attrType("DT_INT32")}});
    b.constInt("hw_b", {1}, {1});
    b.constInt("hw_e", {1}, {3});
    b.constInt("hw_s", {1}, {1});
    b.node("hw", "StridedSlice", {"shape", "hw_b", "hw_e", "hw_s"});
    b.constInt("two", {}, {2});
    b.node("hw2", "Mul", {"hw", "two"});
    b.node("up", "ResizeBilinear", {"residual", "hw2"}, {{"half_pixel_centers", attrB(true)}});
    b.constInt("crop_b", {4}, {0, 0, 0, 0});
    b.constInt("crop_s", {4}, {1, 13, 13, 8});
    b.node("crop", "Slice", {"up", "crop_b", "crop_s"});
    b.constInt("axis", {}, {3});
    b.node("cat", "ConcatV2", {"crop", "x", "axis"});
    conv("gate", "cat", 3, 11, 4, {"BiasAdd"}, "SAME", 12);
    b.node("gate_sig", "Sigmoid", {"gate"});
    conv("refine", "cat", 3, 11, 4, {"BiasAdd", "Relu"}, "SAME", 14);
    b.node("out", "Mul", {"gate_sig", "refine"});
    // A GRU update: h' = (1 - z) * h + z * c, one pass when fused.
    conv("h", "cat", 1, 11, 4, {"BiasAdd"}, "VALID", 20);
    b.constFloat("gru/one", {}, {1.0f});
    b.node("gru/sub", "Sub", {"gru/one", "gate_sig"});
    b.node("gru/keep", "Mul", {"gru/sub", "h"});
    b.node("gru/new", "Mul", {"gate_sig", "refine"});
    b.node("gru", "AddV2", {"gru/keep", "gru/new"});
    // Clips after convolutions, with an add between two of them (oneDNN 2.6 computes a chain with
    // one eltwise algorithm twice at different parameters wrongly; such chains must not reach it).
    conv("c1", "x", 1, 3, 3, {"BiasAdd", "Relu6"}, "VALID", 16);
    b.constFloat("lim/one", {}, {1.0f});
    b.constFloat("lim/zero", {}, {0.0f});
    b.constFloat("lim/quarter", {}, {0.25f});
    b.constFloat("lim/half", {}, {0.5f});
    b.node("c1/min", "Minimum", {"c1", "lim/one"});
    b.node("c1/clip", "Maximum", {"c1/min", "lim/zero"});
    conv("c2", "x", 1, 3, 3, {"BiasAdd"}, "VALID", 18);
    b.node("c2/low", "Maximum", {"c2", "lim/quarter"});
    b.node("c2/add", "AddV2", {"c2/low", "x"});
    b.node("c2/high", "Minimum", {"c2/add", "lim/half"});
    return b;
}

TEST(EngineGraph, FusedPlanMatchesUnfusedReference) {
    const ModelBuilder b = blockModel();
    EngineOptions fastOptions;
    fastOptions.profile = true;
    EngineOptions referenceOptions;
    referenceOptions.kernels = Kernels::reference;
    auto fast = load(b, fastOptions);
    auto reference = load(b, referenceOptions);
    ASSERT_TRUE(fast && reference);
    Tensor x;
    x.shape = {1, 13, 13, 3};
    x.data = randomValues(13 * 13 * 3, 3, 1.0f);
    std::vector<Tensor> rf, rr;
    std::string error;
    const std::vector<std::string> outputs = {"out", "residual", "c1/clip", "c2/high", "gru"};
    ASSERT_TRUE(fast->run({{"x", &x}}, outputs, rf, error)) << error;
    ASSERT_TRUE(reference->run({{"x", &x}}, outputs, rr, error)) << error;
    for (size_t k = 0; k < outputs.size(); ++k) {
        ASSERT_EQ(rf[k].shape, rr[k].shape);
        for (size_t i = 0; i < rf[k].data.size(); ++i)
            ASSERT_NEAR(rf[k].data[i], rr[k].data[i], 1e-4f * (1.0f + std::fabs(rr[k].data[i])))
                << "output " << k << " at " << i;
    }
    // The fused plan runs no separate pad, space/batch shuffle, batch-norm or activation ops.
    for (const OpTime& t : fast->profile()) {
        if (t.calls == 0) continue;
        EXPECT_THAT(t.op, ::testing::Not(::testing::AnyOf("Pad", "SpaceToBatchND", "BatchToSpaceND",
                                                          "Relu6", "Sigmoid", "Add")))
            << "not fused";
    }
}

}  // namespace
}  // namespace figsplit::engine
