// Arena placement: tensors alive at the same time never share memory, dead ones are reused,
// views share their root, fed inputs and removed operations take no space, outputs live to the
// end, and every tensor starts 64-byte aligned.
#include "platform/engine/arena.h"

#include <vector>

#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

constexpr int64_t kAlign = 16;  // floats

int64_t aligned(int64_t floats) {
    return (floats + kAlign - 1) / kAlign * kAlign;
}

// An operation reading `inputs` and writing `outputs` (tensor ids).
void addOp(Plan& plan, std::vector<int> inputs, std::vector<int> outputs, bool removed = false) {
    PlanOp op;
    for (int t : inputs) {
        Operand o;
        o.tensor = t;
        o.shape = plan.tensors[t].shape;
        op.inputs.push_back(o);
    }
    op.outputs = std::move(outputs);
    op.removed = removed;
    plan.ops.push_back(std::move(op));
}

void addOutput(Plan& plan, int tensor) {
    PlanOutput o;
    o.tensor = tensor;
    o.shape = plan.tensors[tensor].shape;
    plan.outputs.push_back(o);
}

// Every pair of placed roots alive at the same step occupies disjoint floats inside the arena.
void expectNoOverlap(const Plan& plan) {
    const std::vector<TensorDesc>& t = plan.tensors;
    for (size_t a = 0; a < t.size(); ++a) {
        if (t[a].root != static_cast<int>(a) || t[a].input >= 0 || t[a].offset < 0) continue;
        const int64_t sizeA = elementCount(t[a].shape);
        EXPECT_EQ(t[a].offset % kAlign, 0) << "tensor " << a;
        EXPECT_LE(t[a].offset + sizeA, plan.arenaFloats) << "tensor " << a;
        for (size_t b = a + 1; b < t.size(); ++b) {
            if (t[b].root != static_cast<int>(b) || t[b].input >= 0 || t[b].offset < 0) continue;
            const bool together = !(t[a].last < t[b].first || t[b].last < t[a].first);
            if (!together) continue;
            const int64_t sizeB = elementCount(t[b].shape);
            EXPECT_TRUE(t[a].offset + sizeA <= t[b].offset || t[b].offset + sizeB <= t[a].offset)
                << "tensors " << a << " and " << b << " overlap";
        }
    }
}

TEST(EngineArena, ChainReusesTheMemoryOfDeadTensors) {
    // t0 -> t1 -> t2 -> t3: at each step only the input and the output are alive.
    Plan plan;
    const int t0 = plan.newTensor({1, 10});
    const int t1 = plan.newTensor({1, 10});
    const int t2 = plan.newTensor({1, 10});
    const int t3 = plan.newTensor({1, 10});
    addOp(plan, {}, {t0});
    addOp(plan, {t0}, {t1});
    addOp(plan, {t1}, {t2});
    addOp(plan, {t2}, {t3});
    addOutput(plan, t3);
    placeTensors(plan);
    expectNoOverlap(plan);
    EXPECT_EQ(plan.arenaFloats, 2 * aligned(10));
    EXPECT_EQ(plan.tensors[t0].offset, plan.tensors[t2].offset);
    EXPECT_EQ(plan.tensors[t1].offset, plan.tensors[t3].offset);
}

TEST(EngineArena, OutputsLiveToTheEndAndLargestComeFirst) {
    // t0 is an output written first; later tensors may not take its place.
    Plan plan;
    const int t0 = plan.newTensor({5});
    const int big = plan.newTensor({100});
    const int t2 = plan.newTensor({5});
    const int t3 = plan.newTensor({5});
    addOp(plan, {}, {t0});
    addOp(plan, {t0}, {big});
    addOp(plan, {big}, {t2});
    addOp(plan, {t2}, {t3});
    addOutput(plan, t0);
    addOutput(plan, t3);
    placeTensors(plan);
    expectNoOverlap(plan);
    EXPECT_EQ(plan.tensors[t0].last, static_cast<int>(plan.ops.size()));
    EXPECT_EQ(plan.tensors[big].offset, 0);  // placed first, at the start
    EXPECT_NE(plan.tensors[t3].offset, plan.tensors[t0].offset);
}

TEST(EngineArena, ViewsInputsAndRemovedOperations) {
    Plan plan;
    const int fed = plan.newTensor({1, 4, 4, 1});
    plan.tensors[fed].input = 0;
    const int a = plan.newTensor({1, 4, 4, 1});
    const int view = plan.newTensor({16});  // `a` seen flat, read after `a`'s last direct use
    plan.tensors[view].root = a;
    const int b = plan.newTensor({16});
    const int unused = plan.newTensor({1000});  // written only by a removed operation
    addOp(plan, {fed}, {a});
    addOp(plan, {fed}, {unused}, true);
    addOp(plan, {fed}, {b});
    addOp(plan, {view, b}, {b});
    addOutput(plan, b);
    placeTensors(plan);
    expectNoOverlap(plan);
    EXPECT_EQ(plan.tensors[view].offset, plan.tensors[a].offset);
    EXPECT_EQ(plan.tensors[a].last, 2);  // alive through its view's read
    EXPECT_NE(plan.tensors[a].offset, plan.tensors[b].offset);
    EXPECT_EQ(plan.tensors[unused].offset, -1);
    EXPECT_EQ(plan.tensors[fed].offset, -1);  // fed inputs live in the caller's memory
    EXPECT_EQ(plan.arenaFloats, 2 * aligned(16));
}

TEST(EngineArena, RandomPlansNeverOverlap) {
    // Many tensors of odd sizes with lifetimes crossing in every way.
    uint32_t seed = 7;
    auto next = [&](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 20; ++round) {
        Plan plan;
        std::vector<int> made;
        for (int k = 0; k < 40; ++k) {
            const int t = plan.newTensor({static_cast<int64_t>(1 + next(127))});
            std::vector<int> inputs;
            for (int i = 0; i < 2 && !made.empty(); ++i)
                inputs.push_back(made[next(static_cast<uint32_t>(made.size()))]);
            addOp(plan, inputs, {t});
            made.push_back(t);
        }
        addOutput(plan, made.back());
        placeTensors(plan);
        SCOPED_TRACE("round " + std::to_string(round));
        expectNoOverlap(plan);
    }
}

}  // namespace
}  // namespace figsplit::engine
