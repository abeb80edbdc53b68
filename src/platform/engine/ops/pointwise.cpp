#include "platform/engine/ops/pointwise.h"

#include <algorithm>

#include "platform/engine/ops/data_movement.h"
#include "platform/engine/plan.h"

namespace figsplit::engine {

namespace {

constexpr int64_t kPiece = 1024;
constexpr int kMaxSlots = 8;  // registers, and separately broadcast leaves, per piece

void applyPiece(const PointwiseProgram::Instruction& in, const float* a, const float* b, float* out,
                int64_t n) {
    if (in.unary) {
        switch (in.unaryOp) {
#define FIGSPLIT_UNARY(OP)                                                      \
    case UnaryOp::OP:                                                           \
        for (int64_t k = 0; k < n; ++k) out[k] = applyUnary(UnaryOp::OP, a[k]); \
        return;
            FIGSPLIT_UNARY(relu)
            FIGSPLIT_UNARY(relu6)
            FIGSPLIT_UNARY(sigmoid)
            FIGSPLIT_UNARY(tanh)
            FIGSPLIT_UNARY(square)
            FIGSPLIT_UNARY(neg)
            FIGSPLIT_UNARY(sqrt)
            FIGSPLIT_UNARY(rsqrt)
            FIGSPLIT_UNARY(exp)
#undef FIGSPLIT_UNARY
        }
        return;
    }
    switch (in.binary) {
#define FIGSPLIT_BINARY(OP)                                                             \
    case BinaryOp::OP:                                                                  \
        for (int64_t k = 0; k < n; ++k) out[k] = applyBinary(BinaryOp::OP, a[k], b[k]); \
        return;
        FIGSPLIT_BINARY(add)
        FIGSPLIT_BINARY(sub)
        FIGSPLIT_BINARY(mul)
        FIGSPLIT_BINARY(div)
        FIGSPLIT_BINARY(maximum)
        FIGSPLIT_BINARY(minimum)
        FIGSPLIT_BINARY(squaredDifference)
        FIGSPLIT_BINARY(floorMod)
        FIGSPLIT_BINARY(floorDiv)
        FIGSPLIT_BINARY(equal)
        FIGSPLIT_BINARY(less)
        FIGSPLIT_BINARY(greater)
#undef FIGSPLIT_BINARY
    }
}

}  // namespace

void pointwiseReference(const PointwiseProgram& p, const float* const* leaves, float* out) {
    const int64_t count = elementCount(p.shape);
    std::vector<std::vector<float>> registers(static_cast<size_t>(p.registers),
                                              std::vector<float>(static_cast<size_t>(count)));
    std::vector<std::vector<float>> expanded(p.leaves.size());
    for (size_t l = 0; l < p.leaves.size(); ++l) {
        BroadcastPlan plan;
        BroadcastPlan::make(p.leaves[l], p.shape, plan);
        expanded[l].resize(static_cast<size_t>(count));
        broadcastFloat(plan, leaves[l], expanded[l].data(), false);
    }
    auto source = [&](int s) { return s >= 0 ? registers[s].data() : expanded[-1 - s].data(); };
    for (size_t k = 0; k < p.code.size(); ++k) {
        const PointwiseProgram::Instruction& in = p.code[k];
        float* dst = k + 1 == p.code.size() ? out : registers[in.out].data();
        for (int64_t i = 0; i < count; ++i)
            dst[i] = in.unary ? applyUnary(in.unaryOp, source(in.a)[i])
                              : applyBinary(in.binary, source(in.a)[i], source(in.b)[i]);
    }
}

FastPointwise::FastPointwise(const PointwiseProgram& program) : program_(program) {
    const Shape& out = program.shape;
    const size_t rank = out.size(), leaves = program.leaves.size();
    count_ = elementCount(out);
    // Per output dim, which leaves broadcast along it; merge neighbours that agree.
    std::vector<std::vector<char>> patterns;
    for (size_t d = 0; d < rank; ++d) {
        if (out[d] == 1) continue;
        std::vector<char> pattern(leaves);
        for (size_t l = 0; l < leaves; ++l) {
            const Shape& s = program.leaves[l];
            const size_t offset = rank - s.size();
            pattern[l] = d < offset || s[d - offset] == 1;
        }
        if (!patterns.empty() && patterns.back() == pattern) {
            dims_.back() *= out[d];
        } else {
            dims_.push_back(out[d]);
            patterns.push_back(pattern);
        }
    }
    if (dims_.empty()) {
        dims_.push_back(1);
        patterns.emplace_back(leaves, 0);
    }
    strides_.assign(leaves, std::vector<int64_t>(dims_.size(), 0));
    for (size_t l = 0; l < leaves; ++l) {
        int64_t stride = 1;
        for (size_t d = dims_.size(); d-- > 0;) {
            strides_[l][d] = patterns[d][l] ? 0 : stride;
            if (!patterns[d][l]) stride *= dims_[d];
        }
    }
    runs_.assign(leaves, Run::contiguous);
    const size_t last = dims_.size() - 1;
    constexpr int64_t kShortRow = 64;
    if (dims_.size() >= 2 && dims_[last] < kShortRow) {
        // Pieces of a few floats would cost more in bookkeeping than in arithmetic.
        rowLength_ = dims_[last];
        rowStrides_.resize(leaves);
        elementStrides_.resize(leaves);
        for (size_t l = 0; l < leaves; ++l) {
            rowStrides_[l] = strides_[l][last - 1];
            elementStrides_[l] = strides_[l][last];
            strides_[l].pop_back();
            const bool dense = elementStrides_[l] == 1 && rowStrides_[l] == rowLength_;
            const bool constant = elementStrides_[l] == 0 && rowStrides_[l] == 0;
            runs_[l] = dense ? Run::contiguous : constant ? Run::constant : Run::gathered;
            // The merged dim's own stride: a dense leaf steps one float per element.
            strides_[l].back() = dense ? 1 : 0;
        }
        dims_[last - 1] *= dims_[last];
        dims_.pop_back();
    } else {
        for (size_t l = 0; l < leaves; ++l)
            runs_[l] = strides_[l][last] == 0 ? Run::constant : Run::contiguous;
    }
}

void FastPointwise::run(const float* const* leaves, float* out) const {
    const size_t rank = dims_.size();
    const int64_t inner = dims_.back();
    const int64_t rows = count_ / std::max<int64_t>(inner, 1);
    // Joined short rows: pieces start at a row's start, so a leaf that repeats every row (a
    // per-channel constant) fills the same values into every piece.
    const int64_t piece = rowLength_ > 0 ? kPiece - kPiece % rowLength_ : kPiece;
    const int64_t pieces = (inner + piece - 1) / piece;
    const size_t leafCount = program_.leaves.size();
    const auto& code = program_.code;
#pragma omp parallel if (count_ > 32768)
    {
        alignas(64) float registers[kMaxSlots][kPiece];
        alignas(64) float filled[kMaxSlots][kPiece];
        const float* filledFrom[kMaxSlots] = {};  // a repeating leaf's source of filled[l]
        int64_t filledCount[kMaxSlots] = {};
        const float* leaf[kMaxSlots];
#pragma omp for
        for (int64_t w = 0; w < rows * pieces; ++w) {
            const int64_t r = w / pieces, begin = (w % pieces) * piece;
            const int64_t n = std::min(piece, inner - begin);
            for (size_t l = 0; l < leafCount; ++l) {
                int64_t offset = 0, rest = r;
                for (size_t d = rank - 1; d-- > 0;) {
                    offset += (rest % dims_[d]) * strides_[l][d];
                    rest /= dims_[d];
                }
                const float* base = leaves[l] + offset;
                switch (runs_[l]) {
                    case Run::contiguous:
                        leaf[l] = base + begin;
                        break;
                    case Run::constant:
                        std::fill(filled[l], filled[l] + n, *base);
                        leaf[l] = filled[l];
                        break;
                    case Run::gathered: {
                        leaf[l] = filled[l];
                        const bool repeating = rowStrides_[l] == 0;
                        if (repeating && filledFrom[l] == base && filledCount[l] >= n) break;
                        int64_t row = begin / rowLength_, column = 0;
                        for (int64_t k = 0; k < n; ++k) {
                            filled[l][k] = base[row * rowStrides_[l] + column * elementStrides_[l]];
                            if (++column == rowLength_) {
                                column = 0;
                                ++row;
                            }
                        }
                        filledFrom[l] = repeating ? base : nullptr;
                        filledCount[l] = n;
                        break;
                    }
                }
            }
            for (size_t k = 0; k < code.size(); ++k) {
                const PointwiseProgram::Instruction& in = code[k];
                const float* a = in.a >= 0 ? registers[in.a] : leaf[-1 - in.a];
                const float* b = in.unary ? a : (in.b >= 0 ? registers[in.b] : leaf[-1 - in.b]);
                float* dst = k + 1 == code.size() ? out + r * inner + begin : registers[in.out];
                applyPiece(in, a, b, dst, n);
            }
        }
    }
}

namespace {

class PointwiseStep : public Step {
  public:
    PointwiseProgram program;
    std::unique_ptr<FastPointwise> fast;
    std::vector<Ref> leaves;
    std::vector<const float*> pointers;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        for (size_t k = 0; k < leaves.size(); ++k) pointers[k] = leaves[k].get(c);
        if (fast) {
            fast->run(pointers.data(), dst);
        } else {
            pointwiseReference(program, pointers.data(), dst);
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<Step> makePointwiseStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<PointwiseStep>();
    s->program = op.pointwise;
    for (const Operand& i : op.inputs) s->leaves.push_back(operandRef(plan, i));
    s->pointers.resize(s->leaves.size());
    s->dst = out;
    if (build.fast) s->fast = std::make_unique<FastPointwise>(op.pointwise);
    return s;
}

}  // namespace figsplit::engine
