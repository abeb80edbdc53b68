// Element-wise arithmetic with broadcasting against index-by-index definitions, and the broadcast
// kernel that reads one operand.
#include "platform/engine/ops/elementwise.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"
#include "platform/engine/ops/data_movement.h"

namespace figsplit::engine {
namespace {

using namespace testing;

TEST(EngineKernels, BroadcastArithmeticMatchesIndexByIndex) {
    const std::vector<std::pair<Shape, Shape>> cases = {
        {{2, 3, 13}, {13}}, {{1, 13, 1}, {3, 1, 5}},       {{127}, {}},
        {{}, {3, 1}},       {{1, 3, 13, 4}, {1, 1, 1, 4}}, {{1, 3, 13, 4}, {1, 3, 13, 4}},
        {{4, 1}, {1, 4}}};
    for (const auto& [sa, sb] : cases) {
        Shape out;
        ASSERT_TRUE(broadcastShapes(sa, sb, out));
        BroadcastPlan plan;
        ASSERT_TRUE(BroadcastPlan::make(sa, sb, plan));
        const std::vector<float> a = randomData(static_cast<size_t>(elementCount(sa)), 1);
        const std::vector<float> b = randomData(static_cast<size_t>(elementCount(sb)), 2);
        std::vector<float> expected(static_cast<size_t>(elementCount(out))), got(expected.size()),
            broadcast(expected.size());
        forEachIndex(out, [&](const Shape& i) {
            auto pick = [&](const Shape& s) {
                Shape j(s.size());
                for (size_t k = 0; k < s.size(); ++k)
                    j[k] = s[k] == 1 ? 0 : i[i.size() - s.size() + k];
                return offsetOf(s, j);
            };
            expected[offsetOf(out, i)] = a[pick(sa)] - b[pick(sb)];
        });
        binaryFloat(BinaryOp::sub, plan, a.data(), b.data(), got.data(), true);
        EXPECT_EQ(got, expected) << shapeText(sa) << " - " << shapeText(sb);
        // broadcastFloat is the same walk reading one operand
        BroadcastPlan only;
        ASSERT_TRUE(BroadcastPlan::make(sa, out, only));
        broadcastFloat(only, a.data(), broadcast.data(), true);
        forEachIndex(out, [&](const Shape& i) {
            Shape j(sa.size());
            for (size_t k = 0; k < sa.size(); ++k)
                j[k] = sa[k] == 1 ? 0 : i[i.size() - sa.size() + k];
            EXPECT_EQ(broadcast[offsetOf(out, i)], a[offsetOf(sa, j)]);
        });
    }
    Shape out;
    EXPECT_FALSE(broadcastShapes({2, 3}, {3, 2}, out));
}

TEST(EngineKernels, FloorDivRoundsTheQuotientDown) {
    // TensorFlow's FloorDiv: floor(a / b), for floats and integers alike, so negative and
    // fractional quotients round toward negative infinity, not toward zero.
    struct Case {
        float a, b, floats;  // the float quotient
        int32_t ints;        // the integer quotient of a and b truncated to integers
    };
    const std::vector<Case> cases = {{7, 2, 3, 3},         {-7, 2, -4, -4},     {7, -2, -4, -4},
                                     {-7, -2, 3, 3},       {6, 3, 2, 2},        {-6, 3, -2, -2},
                                     {0, -5, 0, 0},        {1, 3, 0, 0},        {-1, 3, -1, -1},
                                     {7.5f, 2, 3, 3},      {-7.5f, 2, -4, -4},  {0.5f, 0.25f, 2, 0},
                                     {-0.5f, 0.3f, -2, 0}, {2.5f, -0.5f, -5, 0}};
    std::vector<float> a, b, floats;
    std::vector<int32_t> intA, intB, ints;
    for (const Case& c : cases) {
        a.push_back(c.a);
        b.push_back(c.b);
        floats.push_back(c.floats);
        if (static_cast<int32_t>(c.b) != 0) {
            intA.push_back(static_cast<int32_t>(c.a));
            intB.push_back(static_cast<int32_t>(c.b));
            ints.push_back(c.ints);
        }
    }
    const Shape shape = {static_cast<int64_t>(cases.size())};
    // The frame kernel, and the same loop inside a pointwise program's instructions.
    BroadcastPlan plan;
    ASSERT_TRUE(BroadcastPlan::make(shape, shape, plan));
    std::vector<float> got(cases.size());
    binaryFloat(BinaryOp::floorDiv, plan, a.data(), b.data(), got.data(), true);
    EXPECT_EQ(got, floats);
    for (size_t k = 0; k < cases.size(); ++k)
        EXPECT_EQ(applyBinary(BinaryOp::floorDiv, a[k], b[k]), floats[k]) << a[k] << " // " << b[k];
    // Constants computed while planning: float and int32.
    std::string error;
    Value r;
    ASSERT_TRUE(binaryValue(BinaryOp::floorDiv, Value::ofFloats(shape, a),
                            Value::ofFloats(shape, b), r, error))
        << error;
    EXPECT_EQ(r.floats, floats);
    const Shape intShape = {static_cast<int64_t>(ints.size())};
    ASSERT_TRUE(binaryValue(BinaryOp::floorDiv, Value::ofInts(intShape, intA),
                            Value::ofInts(intShape, intB), r, error))
        << error;
    EXPECT_EQ(r.ints, ints);
    // Integer division by zero is an error, not a crash.
    EXPECT_FALSE(
        binaryValue(BinaryOp::floorDiv, Value::ofInts({}, {1}), Value::ofInts({}, {0}), r, error));
    EXPECT_EQ(error, "FloorDiv by zero");
}

TEST(EngineKernels, OpNamesWithoutAnElementWiseDefinitionHaveNone) {
    EXPECT_EQ(binaryOpOf("FloorDiv"), BinaryOp::floorDiv);
    EXPECT_EQ(binaryOpOf("RealDiv"), BinaryOp::div);
    EXPECT_EQ(binaryOpOf("Greater"), BinaryOp::greater);
    EXPECT_EQ(unaryOpOf("Exp"), UnaryOp::exp);
    for (const char* name : {"Pow", "TruncateDiv", "GreaterEqual", "", "add"})
        EXPECT_FALSE(binaryOpOf(name).has_value()) << name;
    for (const char* name : {"Elu", "Log", "", "relu"})
        EXPECT_FALSE(unaryOpOf(name).has_value()) << name;
}

}  // namespace
}  // namespace figsplit::engine
