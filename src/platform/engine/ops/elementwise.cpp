#include "platform/engine/ops/elementwise.h"

#include <algorithm>
#include <cmath>

#include "platform/engine/lowering.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

const char* binaryOpName(BinaryOp op) {
    switch (op) {
        case BinaryOp::add:
            return "Add";
        case BinaryOp::sub:
            return "Sub";
        case BinaryOp::mul:
            return "Mul";
        case BinaryOp::div:
            return "RealDiv";
        case BinaryOp::maximum:
            return "Maximum";
        case BinaryOp::minimum:
            return "Minimum";
        case BinaryOp::squaredDifference:
            return "SquaredDifference";
        case BinaryOp::floorMod:
            return "FloorMod";
        case BinaryOp::floorDiv:
            return "FloorDiv";
        case BinaryOp::equal:
            return "Equal";
        case BinaryOp::less:
            return "Less";
        case BinaryOp::greater:
            return "Greater";
    }
    return "?";
}

const char* unaryOpName(UnaryOp op) {
    switch (op) {
        case UnaryOp::relu:
            return "Relu";
        case UnaryOp::relu6:
            return "Relu6";
        case UnaryOp::sigmoid:
            return "Sigmoid";
        case UnaryOp::tanh:
            return "Tanh";
        case UnaryOp::square:
            return "Square";
        case UnaryOp::neg:
            return "Neg";
        case UnaryOp::sqrt:
            return "Sqrt";
        case UnaryOp::rsqrt:
            return "Rsqrt";
        case UnaryOp::exp:
            return "Exp";
    }
    return "?";
}

bool BroadcastPlan::make(const Shape& a, const Shape& b, BroadcastPlan& plan) {
    Shape out;
    if (!broadcastShapes(a, b, out)) return false;
    const size_t rank = out.size();
    // Per output dim: does each operand broadcast along it?
    std::vector<int64_t> da(rank, 1), db(rank, 1);
    for (size_t k = 0; k < a.size(); ++k) da[rank - a.size() + k] = a[k];
    for (size_t k = 0; k < b.size(); ++k) db[rank - b.size() + k] = b[k];
    Shape dims;
    std::vector<bool> bcA, bcB;
    for (size_t k = 0; k < rank; ++k) {
        if (out[k] == 1) continue;  // size-1 dims change nothing
        const bool ba = da[k] == 1, bb = db[k] == 1;
        if (!dims.empty() && bcA.back() == ba && bcB.back() == bb) {
            dims.back() *= out[k];
        } else {
            dims.push_back(out[k]);
            bcA.push_back(ba);
            bcB.push_back(bb);
        }
    }
    if (dims.empty()) {
        dims.push_back(1);
        bcA.push_back(false);
        bcB.push_back(false);
    }
    plan.out = dims;
    plan.strideA.assign(dims.size(), 0);
    plan.strideB.assign(dims.size(), 0);
    int64_t sa = 1, sb = 1;
    for (size_t k = dims.size(); k-- > 0;) {
        plan.strideA[k] = bcA[k] ? 0 : sa;
        plan.strideB[k] = bcB[k] ? 0 : sb;
        if (!bcA[k]) sa *= dims[k];
        if (!bcB[k]) sb *= dims[k];
    }
    plan.count = elementCount(out);
    return true;
}

namespace {

template <BinaryOp Op>
void innerLoop(const float* a, int64_t sa, const float* b, int64_t sb, float* out, int64_t n) {
    if (sa == 1 && sb == 1) {
        for (int64_t k = 0; k < n; ++k) out[k] = applyBinary(Op, a[k], b[k]);
    } else if (sa == 1 && sb == 0) {
        const float y = b[0];
        for (int64_t k = 0; k < n; ++k) out[k] = applyBinary(Op, a[k], y);
    } else if (sa == 0 && sb == 1) {
        const float x = a[0];
        for (int64_t k = 0; k < n; ++k) out[k] = applyBinary(Op, x, b[k]);
    } else {
        for (int64_t k = 0; k < n; ++k) out[k] = applyBinary(Op, a[k * sa], b[k * sb]);
    }
}

template <BinaryOp Op>
void binaryLoop(const BroadcastPlan& p, const float* a, const float* b, float* out, bool parallel) {
    const size_t rank = p.out.size();
    const int64_t inner = std::max<int64_t>(p.out[rank - 1], 1);
    const int64_t rows = p.count / inner;
    // Work in pieces of at most kPiece elements of a row, so that a single long row (tensors of
    // the same shape merge into one) still spreads over the threads.
    constexpr int64_t kPiece = 16384;
    const int64_t pieces = (inner + kPiece - 1) / kPiece;
    const int64_t sa = p.strideA[rank - 1], sb = p.strideB[rank - 1];
#pragma omp parallel for if (parallel && p.count > 32768)
    for (int64_t w = 0; w < rows * pieces; ++w) {
        const int64_t r = w / pieces, begin = (w % pieces) * kPiece;
        const int64_t n = std::min(kPiece, inner - begin);
        int64_t offA = 0, offB = 0, rest = r;
        for (size_t k = rank - 1; k-- > 0;) {
            const int64_t i = rest % p.out[k];
            rest /= p.out[k];
            offA += i * p.strideA[k];
            offB += i * p.strideB[k];
        }
        innerLoop<Op>(a + offA + begin * sa, sa, b + offB + begin * sb, sb, out + r * inner + begin,
                      n);
    }
}

}  // namespace

void binaryFloat(BinaryOp op, const BroadcastPlan& plan, const float* a, const float* b, float* out,
                 bool parallel) {
    switch (op) {
        case BinaryOp::add:
            return binaryLoop<BinaryOp::add>(plan, a, b, out, parallel);
        case BinaryOp::sub:
            return binaryLoop<BinaryOp::sub>(plan, a, b, out, parallel);
        case BinaryOp::mul:
            return binaryLoop<BinaryOp::mul>(plan, a, b, out, parallel);
        case BinaryOp::div:
            return binaryLoop<BinaryOp::div>(plan, a, b, out, parallel);
        case BinaryOp::maximum:
            return binaryLoop<BinaryOp::maximum>(plan, a, b, out, parallel);
        case BinaryOp::minimum:
            return binaryLoop<BinaryOp::minimum>(plan, a, b, out, parallel);
        case BinaryOp::squaredDifference:
            return binaryLoop<BinaryOp::squaredDifference>(plan, a, b, out, parallel);
        case BinaryOp::floorMod:
            return binaryLoop<BinaryOp::floorMod>(plan, a, b, out, parallel);
        case BinaryOp::floorDiv:
            return binaryLoop<BinaryOp::floorDiv>(plan, a, b, out, parallel);
        case BinaryOp::equal:
            return binaryLoop<BinaryOp::equal>(plan, a, b, out, parallel);
        case BinaryOp::less:
            return binaryLoop<BinaryOp::less>(plan, a, b, out, parallel);
        case BinaryOp::greater:
            return binaryLoop<BinaryOp::greater>(plan, a, b, out, parallel);
    }
}

namespace {

template <UnaryOp Op>
void unaryLoop(const float* in, float* out, int64_t count, bool parallel) {
#pragma omp parallel for if (parallel && count > 32768)
    for (int64_t k = 0; k < count; ++k) out[k] = applyUnary(Op, in[k]);
}

}  // namespace

void unaryFloat(UnaryOp op, const float* in, float* out, int64_t count, bool parallel) {
    switch (op) {
        case UnaryOp::relu:
            return unaryLoop<UnaryOp::relu>(in, out, count, parallel);
        case UnaryOp::relu6:
            return unaryLoop<UnaryOp::relu6>(in, out, count, parallel);
        case UnaryOp::sigmoid:
            return unaryLoop<UnaryOp::sigmoid>(in, out, count, parallel);
        case UnaryOp::tanh:
            return unaryLoop<UnaryOp::tanh>(in, out, count, parallel);
        case UnaryOp::square:
            return unaryLoop<UnaryOp::square>(in, out, count, parallel);
        case UnaryOp::neg:
            return unaryLoop<UnaryOp::neg>(in, out, count, parallel);
        case UnaryOp::sqrt:
            return unaryLoop<UnaryOp::sqrt>(in, out, count, parallel);
        case UnaryOp::rsqrt:
            return unaryLoop<UnaryOp::rsqrt>(in, out, count, parallel);
        case UnaryOp::exp:
            return unaryLoop<UnaryOp::exp>(in, out, count, parallel);
    }
}

namespace {

// The quotient rounded toward negative infinity (C++ division rounds toward zero).
int64_t floorDivInt(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int64_t floorModInt(int64_t a, int64_t b) {
    const int64_t r = a % b;
    return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

}  // namespace

bool binaryValue(BinaryOp op, const Value& a, const Value& b, Value& out, std::string& error) {
    if (a.type != b.type) {
        error = std::string(binaryOpName(op)) + " of " + dtypeName(a.type) + " and " +
                dtypeName(b.type);
        return false;
    }
    BroadcastPlan plan;
    Shape shape;
    if (!BroadcastPlan::make(a.shape, b.shape, plan) || !broadcastShapes(a.shape, b.shape, shape)) {
        error = std::string(binaryOpName(op)) + ": shapes " + shapeText(a.shape) + " and " +
                shapeText(b.shape) + " do not broadcast";
        return false;
    }
    const bool comparison =
        op == BinaryOp::equal || op == BinaryOp::less || op == BinaryOp::greater;
    const int64_t n = elementCount(shape);
    // Walk the output, mapping each element back to its operands.
    const size_t rank = plan.out.size();
    auto offsets = [&](int64_t k, int64_t& oa, int64_t& ob) {
        oa = ob = 0;
        for (size_t d = rank; d-- > 0;) {
            const int64_t i = k % plan.out[d];
            k /= plan.out[d];
            oa += i * plan.strideA[d];
            ob += i * plan.strideB[d];
        }
    };
    if (a.type == DType::f32) {
        if (comparison) {
            std::vector<int32_t> data(static_cast<size_t>(n));
            for (int64_t k = 0; k < n; ++k) {
                int64_t oa, ob;
                offsets(k, oa, ob);
                data[k] = applyBinary(op, a.floats[oa], b.floats[ob]) != 0.0f ? 1 : 0;
            }
            out = Value::ofInts(shape, std::move(data), DType::boolean);
        } else {
            std::vector<float> data(static_cast<size_t>(n));
            for (int64_t k = 0; k < n; ++k) {
                int64_t oa, ob;
                offsets(k, oa, ob);
                data[k] = applyBinary(op, a.floats[oa], b.floats[ob]);
            }
            out = Value::ofFloats(shape, std::move(data));
        }
        return true;
    }
    std::vector<int32_t> data(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) {
        int64_t oa, ob;
        offsets(k, oa, ob);
        const int64_t x = a.ints[oa], y = b.ints[ob];
        int64_t r = 0;
        switch (op) {
            case BinaryOp::add:
                r = x + y;
                break;
            case BinaryOp::sub:
                r = x - y;
                break;
            case BinaryOp::mul:
                r = x * y;
                break;
            case BinaryOp::div:
            case BinaryOp::floorMod:
            case BinaryOp::floorDiv:
                if (y == 0) {
                    error = std::string(binaryOpName(op)) + " by zero";
                    return false;
                }
                r = op == BinaryOp::div        ? x / y
                    : op == BinaryOp::floorMod ? floorModInt(x, y)
                                               : floorDivInt(x, y);
                break;
            case BinaryOp::maximum:
                r = std::max(x, y);
                break;
            case BinaryOp::minimum:
                r = std::min(x, y);
                break;
            case BinaryOp::squaredDifference:
                r = (x - y) * (x - y);
                break;
            case BinaryOp::equal:
                r = x == y;
                break;
            case BinaryOp::less:
                r = x < y;
                break;
            case BinaryOp::greater:
                r = x > y;
                break;
        }
        data[k] = static_cast<int32_t>(r);
    }
    out = Value::ofInts(shape, std::move(data), comparison ? DType::boolean : a.type);
    return true;
}

bool unaryValue(UnaryOp op, const Value& in, Value& out, std::string& error) {
    if (in.type != DType::f32) {
        if (op == UnaryOp::neg || op == UnaryOp::square) {
            std::vector<int32_t> data(in.ints.size());
            for (size_t k = 0; k < data.size(); ++k)
                data[k] = op == UnaryOp::neg ? -in.ints[k] : in.ints[k] * in.ints[k];
            out = Value::ofInts(in.shape, std::move(data), in.type);
            return true;
        }
        error = std::string(unaryOpName(op)) + " of " + dtypeName(in.type);
        return false;
    }
    std::vector<float> data(in.floats.size());
    for (size_t k = 0; k < data.size(); ++k) data[k] = applyUnary(op, in.floats[k]);
    out = Value::ofFloats(in.shape, std::move(data));
    return true;
}

// The operator: its check, lowering and step.

namespace {

class BinaryStep : public Step {
  public:
    BinaryOp op = BinaryOp::add;
    BroadcastPlan broadcast;
    Ref a, b;
    float* dst = nullptr;
    bool parallel = true;

    bool run(RunContext& c, std::string&) override {
        binaryFloat(op, broadcast, a.get(c), b.get(c), dst, parallel);
        return true;
    }
};

std::unique_ptr<Step> makeBinaryStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<BinaryStep>();
    s->op = op.binary;
    BroadcastPlan::make(op.inputs[0].shape, op.inputs[1].shape, s->broadcast);
    s->a = operandRef(plan, op.inputs[0]);
    s->b = operandRef(plan, op.inputs[1]);
    s->dst = out;
    s->parallel = build.fast;
    return s;
}

class UnaryStep : public Step {
  public:
    UnaryOp op = UnaryOp::relu;
    Ref src;
    float* dst = nullptr;
    int64_t count = 0;
    bool parallel = true;

    bool run(RunContext& c, std::string&) override {
        unaryFloat(op, src.get(c), dst, count, parallel);
        return true;
    }
};

std::unique_ptr<Step> makeUnaryStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<UnaryStep>();
    s->op = op.unary;
    s->src = operandRef(plan, op.inputs[0]);
    s->dst = out;
    s->count = elementCount(op.inputs[0].shape);
    s->parallel = build.fast;
    return s;
}

// Two operands with broadcasting: computed now when both are constants.
bool lowerBinary(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Slot& a = l.in(0);
    const Slot& b = l.in(1);
    const BinaryOp bop = *binaryOpOf(op);  // the check refused names without one
    if (a.state == Slot::State::constant && b.state == Slot::State::constant) {
        Value r;
        if (!binaryValue(bop, *a.value, *b.value, r, error)) return l.fail(error, error);
        out[0] = l.constant(std::move(r));
        return true;
    }
    if ((a.state == Slot::State::constant && !a.value->isFloat()) ||
        (b.state == Slot::State::constant && !b.value->isFloat()))
        return l.fail("integer operand combined with frame data", error);
    Shape shape;
    if (!broadcastShapes(a.shape, b.shape, shape))
        return l.fail(
            "shapes " + shapeText(a.shape) + " and " + shapeText(b.shape) + " do not broadcast",
            error);
    PlanOp& p = l.emit(makeBinaryStep, PlanOp::Kind::binary,
                       op == "AddV2" || op == "BiasAdd" ? std::string("Add") : op);
    p.binary = bop;
    p.inputs = {l.operand(a), l.operand(b)};
    out[0] = l.frame(shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

// One operand: computed now when it is a constant.
bool lowerUnary(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Slot& x = l.in(0);
    if (x.state == Slot::State::constant) {
        Value r;
        if (!unaryValue(*unaryOpOf(op), *x.value, r, error)) return l.fail(error, error);
        out[0] = l.constant(std::move(r));
        return true;
    }
    PlanOp& p = l.emit(makeUnaryStep, PlanOp::Kind::unary, op);
    p.unary = *unaryOpOf(op);
    p.inputs.push_back(l.operand(x));
    out[0] = l.frame(x.shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

bool checkBinary(const GraphNode& node, std::string& what) {
    if (!binaryOpOf(node.op)) {
        what = "no element-wise definition for this operation";
        return false;
    }
    if (node.inputs.size() != 2) {
        what = "expects 2 inputs";
        return false;
    }
    return true;
}

bool checkUnary(const GraphNode& node, std::string& what) {
    if (!unaryOpOf(node.op)) {
        what = "no element-wise definition for this operation";
        return false;
    }
    if (node.inputs.size() != 1) {
        what = "expects 1 input";
        return false;
    }
    return true;
}

}  // namespace

std::optional<BinaryOp> binaryOpOf(std::string_view op) {
    if (op == "Add" || op == "AddV2" || op == "BiasAdd") return BinaryOp::add;
    if (op == "Sub") return BinaryOp::sub;
    if (op == "Mul") return BinaryOp::mul;
    if (op == "RealDiv") return BinaryOp::div;
    if (op == "FloorDiv") return BinaryOp::floorDiv;
    if (op == "Maximum") return BinaryOp::maximum;
    if (op == "Minimum") return BinaryOp::minimum;
    if (op == "SquaredDifference") return BinaryOp::squaredDifference;
    if (op == "FloorMod") return BinaryOp::floorMod;
    if (op == "Equal") return BinaryOp::equal;
    if (op == "Less") return BinaryOp::less;
    if (op == "Greater") return BinaryOp::greater;
    return std::nullopt;
}

std::optional<UnaryOp> unaryOpOf(std::string_view op) {
    if (op == "Relu") return UnaryOp::relu;
    if (op == "Relu6") return UnaryOp::relu6;
    if (op == "Sigmoid") return UnaryOp::sigmoid;
    if (op == "Tanh") return UnaryOp::tanh;
    if (op == "Square") return UnaryOp::square;
    if (op == "Neg") return UnaryOp::neg;
    if (op == "Sqrt") return UnaryOp::sqrt;
    if (op == "Rsqrt") return UnaryOp::rsqrt;
    if (op == "Exp") return UnaryOp::exp;
    return std::nullopt;
}

extern const OperatorHandlers kBinary = {.check = checkBinary, .lower = lowerBinary};
extern const OperatorHandlers kUnary = {.check = checkUnary, .lower = lowerUnary};

}  // namespace figsplit::engine
