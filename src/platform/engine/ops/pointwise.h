#pragma once
// A tree of element-wise operations run as one pass: rvm's GRU update h' = (1 - z) * h + z * c,
// a squeeze-excitation scale followed by a residual add, the guided filter's coefficient
// arithmetic. The output is computed in pieces small enough to stay in the first-level cache, so
// intermediate results never travel to memory. Leaves broadcast to the output shape as in
// TensorFlow.
#include <cstdint>
#include <vector>

#include "platform/engine/ops/elementwise.h"
#include "platform/engine/value.h"

namespace figsplit::engine {

struct PointwiseProgram {
    // Each instruction reads two sources (the second ignored for unary ops) and writes register
    // `out`; the last instruction's result is the output. A source is a register (>= 0) or a leaf
    // (-1 - leaf index).
    struct Instruction {
        bool unary = false;
        BinaryOp binary = BinaryOp::add;
        UnaryOp unaryOp = UnaryOp::relu;
        int a = 0, b = 0;
        int out = 0;
    };
    std::vector<Instruction> code;
    int registers = 0;
    std::vector<Shape> leaves;  // leaf shapes, each broadcasting to `shape`
    Shape shape;                // the output's

    static int leaf(int index) { return -1 - index; }
};

// The plain definition: each instruction over whole tensors in turn.
void pointwiseReference(const PointwiseProgram& program, const float* const* leaves, float* out);

// The same in cache-sized pieces, threads sharing the pieces.
class FastPointwise {
  public:
    explicit FastPointwise(const PointwiseProgram& program);
    void run(const float* const* leaves, float* out) const;

  private:
    PointwiseProgram program_;
    // How a leaf's values along the innermost (merged) dim reach a piece.
    enum class Run : char { contiguous, constant, gathered };
    Shape dims_;                                 // merged output dims
    std::vector<std::vector<int64_t>> strides_;  // per leaf, per merged dim (0 = broadcast)
    std::vector<Run> runs_;                      // per leaf
    // Short innermost rows (a few channels per pixel) are joined with the dim before them into
    // one long innermost dim of rows of `rowLength_`; gathered leaves step by these strides.
    int64_t rowLength_ = 0;
    std::vector<int64_t> rowStrides_, elementStrides_;  // per leaf
    int64_t count_ = 0;
};

}  // namespace figsplit::engine
