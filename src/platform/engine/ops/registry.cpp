// The one list of supported operators. Adding an operator: write its file under ops/ (check,
// lowering, step, kernels, and its `OperatorHandlers`), declare the handlers here and give each
// TensorFlow op name it serves a row.
#include "platform/engine/ops/registry.h"

#include <algorithm>
#include <iterator>

namespace figsplit::engine {

extern const OperatorHandlers kAddN;            // add_n.cpp
extern const OperatorHandlers kAvgPool;         // pooling.cpp
extern const OperatorHandlers kBinary;          // elementwise.cpp
extern const OperatorHandlers kBroadcastTo;     // broadcast_to.cpp
extern const OperatorHandlers kCast;            // cast.cpp
extern const OperatorHandlers kConcat;          // concat.cpp
extern const OperatorHandlers kConst;           // structure.cpp
extern const OperatorHandlers kConvolution;     // conv.cpp
extern const OperatorHandlers kIdentity;        // structure.cpp
extern const OperatorHandlers kMean;            // pooling.cpp
extern const OperatorHandlers kMerge;           // structure.cpp
extern const OperatorHandlers kNoOp;            // structure.cpp
extern const OperatorHandlers kPack;            // shape.cpp
extern const OperatorHandlers kPad;             // pad.cpp
extern const OperatorHandlers kPlaceholder;     // structure.cpp
extern const OperatorHandlers kReshape;         // reshape.cpp
extern const OperatorHandlers kResizeBilinear;  // resize_bilinear.cpp
extern const OperatorHandlers kShape;           // shape.cpp
extern const OperatorHandlers kSlice;           // slice.cpp
extern const OperatorHandlers kSpaceBatch;      // space_batch.cpp
extern const OperatorHandlers kSplit;           // split.cpp
extern const OperatorHandlers kStridedSlice;    // slice.cpp
extern const OperatorHandlers kSwitch;          // structure.cpp
extern const OperatorHandlers kUnary;           // elementwise.cpp

namespace {

const OperatorEntry kOperators[] = {
    // graph plumbing
    {"Const", &kConst},
    {"Placeholder", &kPlaceholder},
    {"Identity", &kIdentity},
    {"Snapshot", &kIdentity},
    {"StopGradient", &kIdentity},
    {"NoOp", &kNoOp},
    {"Switch", &kSwitch},
    {"Merge", &kMerge},
    // shapes and sizes
    {"Shape", &kShape},
    {"Pack", &kPack},
    {"Cast", &kCast},
    {"Squeeze", &kReshape},
    {"Reshape", &kReshape},
    {"ExpandDims", &kReshape},
    // data movement
    {"StridedSlice", &kStridedSlice},
    {"Slice", &kSlice},
    {"ConcatV2", &kConcat},
    {"Split", &kSplit},
    {"SplitV", &kSplit},
    {"Pad", &kPad},
    {"PadV2", &kPad},
    {"BroadcastTo", &kBroadcastTo},
    {"SpaceToBatchND", &kSpaceBatch},
    {"BatchToSpaceND", &kSpaceBatch},
    // element-wise
    {"Add", &kBinary},
    {"AddV2", &kBinary},
    {"BiasAdd", &kBinary},
    {"Sub", &kBinary},
    {"Mul", &kBinary},
    {"RealDiv", &kBinary},
    {"FloorDiv", &kBinary},
    {"FloorMod", &kBinary},
    {"Maximum", &kBinary},
    {"Minimum", &kBinary},
    {"SquaredDifference", &kBinary},
    {"Equal", &kBinary},
    {"Less", &kBinary},
    {"Greater", &kBinary},
    {"Relu", &kUnary},
    {"Relu6", &kUnary},
    {"Sigmoid", &kUnary},
    {"Tanh", &kUnary},
    {"Square", &kUnary},
    {"Neg", &kUnary},
    {"Sqrt", &kUnary},
    {"Rsqrt", &kUnary},
    {"Exp", &kUnary},
    {"AddN", &kAddN},
    // windows
    {"Conv2D", &kConvolution},
    {"_FusedConv2D", &kConvolution},
    {"DepthwiseConv2dNative", &kConvolution},
    {"FusedDepthwiseConv2dNative", &kConvolution},
    {"Conv2DBackpropInput", &kConvolution},
    {"AvgPool", &kAvgPool},
    {"Mean", &kMean},
    {"ResizeBilinear", &kResizeBilinear},
};

}  // namespace

const OperatorHandlers* findOperator(std::string_view op) {
    const auto it = std::find_if(std::begin(kOperators), std::end(kOperators),
                                 [&](const OperatorEntry& e) { return e.name == op; });
    return it != std::end(kOperators) ? it->handlers : nullptr;
}

int outputCount(const GraphNode& node) {
    const OperatorHandlers* h = findOperator(node.op);
    return h != nullptr && h->outputCount != nullptr ? h->outputCount(node) : 1;
}

}  // namespace figsplit::engine
