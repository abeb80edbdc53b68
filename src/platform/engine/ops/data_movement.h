#pragma once
// Moving frame data without arithmetic: boxes (pad, slice, concat, split), broadcasts and strided
// gathers. Templates serve both frame
// tensors (float) and the planner's small integer values.
#include <cstdint>
#include <vector>

#include "platform/engine/ops/elementwise.h"
#include "platform/engine/value.h"

namespace figsplit::engine {

// The highest rank the box and gather kernels take (the planner refuses higher ranks).
constexpr size_t kMaxBoxRank = 8;

// Copies the box of size `extent` at `srcStart` in src into dst at `dstStart`.
template <class T>
void copyBox(const T* src, const Shape& srcShape, const Shape& srcStart, T* dst,
             const Shape& dstShape, const Shape& dstStart, const Shape& extent, bool parallel);

// dst[i] = src[begin + i * stride] per dimension (TensorFlow StridedSlice after its masks).
template <class T>
void stridedGather(const T* src, const Shape& srcShape, const std::vector<int64_t>& begin,
                   const std::vector<int64_t>& stride, T* dst, const Shape& dstShape);

// dst = src broadcast to dst's shape (plan made from (src shape, dst shape)).
void broadcastFloat(const BroadcastPlan& plan, const float* src, float* dst, bool parallel);

}  // namespace figsplit::engine
