// Plans a graph for one set of input shapes. Walks the nodes in dependency order and decides for
// each output whether it is dead (the untaken side of a Switch), a constant known before any
// frame arrives (weights, shapes and everything computed from them, scalar feeds such as rvm's
// downsample ratio) or a frame tensor. Constants are computed here, once; frame tensors become
// planned operations, lowered from TensorFlow's ops to the engine's kernels.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "platform/engine/plan.h"

namespace figsplit::engine {

namespace {

struct Slot {
    enum class State { unset, dead, constant, frame } state = State::unset;
    const Value* value = nullptr;
    int tensor = -1;
    Shape shape;
};

const std::set<std::string, std::less<>>& binaryOps() {
    static const std::set<std::string, std::less<>> ops = {
        "Add",     "AddV2",   "BiasAdd",           "Sub",      "Mul",   "RealDiv",
        "Maximum", "Minimum", "SquaredDifference", "FloorMod", "Equal", "Less",
        "Greater", "FloorDiv"};
    return ops;
}

const std::set<std::string, std::less<>>& unaryOps() {
    static const std::set<std::string, std::less<>> ops = {
        "Relu", "Relu6", "Sigmoid", "Tanh", "Square", "Neg", "Sqrt", "Rsqrt", "Exp"};
    return ops;
}

const std::set<std::string, std::less<>>& otherOps() {
    static const std::set<std::string, std::less<>> ops = {"Const",
                                                           "Placeholder",
                                                           "Identity",
                                                           "Snapshot",
                                                           "StopGradient",
                                                           "NoOp",
                                                           "Switch",
                                                           "Merge",
                                                           "Shape",
                                                           "Cast",
                                                           "StridedSlice",
                                                           "Pack",
                                                           "Slice",
                                                           "ConcatV2",
                                                           "Split",
                                                           "SplitV",
                                                           "Pad",
                                                           "PadV2",
                                                           "BroadcastTo",
                                                           "SpaceToBatchND",
                                                           "BatchToSpaceND",
                                                           "Squeeze",
                                                           "Reshape",
                                                           "ExpandDims",
                                                           "AddN",
                                                           "Conv2D",
                                                           "_FusedConv2D",
                                                           "DepthwiseConv2dNative",
                                                           "FusedDepthwiseConv2dNative",
                                                           "Conv2DBackpropInput",
                                                           "AvgPool",
                                                           "Mean",
                                                           "ResizeBilinear"};
    return ops;
}

BinaryOp binaryOpOf(const std::string& op) {
    if (op == "Add" || op == "AddV2" || op == "BiasAdd") return BinaryOp::add;
    if (op == "Sub") return BinaryOp::sub;
    if (op == "Mul") return BinaryOp::mul;
    if (op == "RealDiv" || op == "FloorDiv") return BinaryOp::div;
    if (op == "Maximum") return BinaryOp::maximum;
    if (op == "Minimum") return BinaryOp::minimum;
    if (op == "SquaredDifference") return BinaryOp::squaredDifference;
    if (op == "FloorMod") return BinaryOp::floorMod;
    if (op == "Equal") return BinaryOp::equal;
    if (op == "Less") return BinaryOp::less;
    return BinaryOp::greater;
}

UnaryOp unaryOpOf(const std::string& op) {
    if (op == "Relu") return UnaryOp::relu;
    if (op == "Relu6") return UnaryOp::relu6;
    if (op == "Sigmoid") return UnaryOp::sigmoid;
    if (op == "Tanh") return UnaryOp::tanh;
    if (op == "Square") return UnaryOp::square;
    if (op == "Neg") return UnaryOp::neg;
    if (op == "Sqrt") return UnaryOp::sqrt;
    if (op == "Rsqrt") return UnaryOp::rsqrt;
    return UnaryOp::exp;
}

int outputCount(const GraphNode& node) {
    if (node.op == "Switch" || node.op == "Merge") return 2;
    if (node.op == "NoOp") return 0;
    if (node.op == "Split" || node.op == "SplitV") {
        const AttrValue* n = node.attr("num_split");
        return n != nullptr ? static_cast<int>(n->i) : 1;
    }
    return 1;
}

std::string attrString(const GraphNode& node, const char* key, const char* fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::s ? a->s : fallback;
}

std::vector<int64_t> attrInts(const GraphNode& node, const char* key) {
    const AttrValue* a = node.attr(key);
    return a != nullptr ? a->ints : std::vector<int64_t>{};
}

int64_t attrInt(const GraphNode& node, const char* key, int64_t fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::i ? a->i : fallback;
}

bool attrBool(const GraphNode& node, const char* key, bool fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::b ? a->b : fallback;
}

bool isConvOp(const std::string& op) {
    return op == "Conv2D" || op == "_FusedConv2D" || op == "DepthwiseConv2dNative" ||
           op == "FusedDepthwiseConv2dNative" || op == "Conv2DBackpropInput";
}

// Checks the attributes of one node that the planner relies on.
bool checkNode(const GraphNode& node, std::string& error) {
    auto fail = [&](const std::string& what) {
        error = "node '" + node.name + "' (" + node.op + "): " + what;
        return false;
    };
    const std::string& op = node.op;
    if (binaryOps().count(op) == 0 && unaryOps().count(op) == 0 && otherOps().count(op) == 0)
        return fail("operation not supported by the engine");
    const std::string format = attrString(node, "data_format", "NHWC");
    if (format != "NHWC") return fail("data format " + format + " not supported (NHWC only)");
    const AttrValue* t = node.attr("T");
    if (t != nullptr && t->kind == AttrValue::Kind::type && !t->typeKnown)
        return fail("element type " + t->typeName + " not supported");
    if (isConvOp(op) || op == "AvgPool") {
        const std::string padding = attrString(node, "padding", "");
        if (padding != "SAME" && padding != "VALID" && padding != "EXPLICIT")
            return fail("padding '" + padding + "' not supported");
        if (padding == "EXPLICIT" && attrInts(node, "explicit_paddings").size() != 8)
            return fail("explicit padding needs 8 values");
        const std::vector<int64_t> strides = attrInts(node, "strides");
        if (strides.size() != 4 || strides[0] != 1 || strides[3] != 1 || strides[1] < 1 ||
            strides[2] < 1)
            return fail("strides must be [1, h, w, 1]");
        if (op != "AvgPool") {
            std::vector<int64_t> dilations = attrInts(node, "dilations");
            if (dilations.empty()) dilations = {1, 1, 1, 1};
            if (dilations.size() != 4 || dilations[0] != 1 || dilations[3] != 1 ||
                dilations[1] < 1 || dilations[2] < 1)
                return fail("dilations must be [1, h, w, 1]");
        } else {
            const std::vector<int64_t> ksize = attrInts(node, "ksize");
            if (ksize.size() != 4 || ksize[0] != 1 || ksize[3] != 1 || ksize[1] < 1 || ksize[2] < 1)
                return fail("ksize must be [1, h, w, 1]");
        }
        if (op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative") {
            const AttrValue* fused = node.attr("fused_ops");
            if (fused == nullptr || fused->strings.empty() || fused->strings[0] != "BiasAdd")
                return fail("fused operations must start with BiasAdd");
            if (fused->strings.size() > 2) return fail("more than one fused activation");
            if (fused->strings.size() == 2) {
                const std::string& a = fused->strings[1];
                if (a != "Relu" && a != "Relu6" && a != "Sigmoid" && a != "Tanh")
                    return fail("fused activation " + a + " not supported");
            }
            if (attrInt(node, "num_args", 1) != 1) return fail("num_args must be 1");
        }
        const size_t inputs = op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative" ||
                                      op == "Conv2DBackpropInput"
                                  ? 3
                              : op == "AvgPool" ? 1
                                                : 2;
        if (node.inputs.size() != inputs)
            return fail("expects " + std::to_string(inputs) + " inputs");
    }
    if (op == "StridedSlice" &&
        (attrInt(node, "ellipsis_mask", 0) != 0 || attrInt(node, "new_axis_mask", 0) != 0))
        return fail("ellipsis and new-axis masks not supported");
    if (op == "ResizeBilinear" && node.inputs.size() != 2) return fail("expects 2 inputs");
    if ((op == "Split" || op == "SplitV") &&
        (attrInt(node, "num_split", 0) < 1 || attrInt(node, "num_split", 0) > 4096))
        return fail("num_split must lie in 1..4096");
    if (op == "Switch" && node.inputs.size() != 2) return fail("expects 2 inputs");
    if (binaryOps().count(op) != 0 && node.inputs.size() != 2) return fail("expects 2 inputs");
    if (unaryOps().count(op) != 0 && node.inputs.size() != 1) return fail("expects 1 input");
    return true;
}

// The most elements any tensor may have (4 GiB of floats).
constexpr int64_t kMaxElements = int64_t{1} << 30;

class Planner {
  public:
    Planner(const ModelFile& model, const std::vector<FeedInfo>& feeds, Plan& plan)
        : model_(model),
          feeds_(feeds),
          plan_(plan),
          slots_(model.nodes.size()),
          dead_(model.nodes.size(), 0) {
        for (size_t k = 0; k < model.nodes.size(); ++k)
            slots_[k].resize(static_cast<size_t>(outputCount(model.nodes[k])));
    }

    bool run(const std::vector<std::string>& outputs, std::string& error);

  private:
    bool lower(int index, std::string& error);
    bool lowerConv(const GraphNode& node, std::vector<Slot>& out, std::string& error);
    bool fail(const GraphNode& node, const std::string& what, std::string& error) {
        error = "node '" + node.name + "' (" + node.op + "): " + what;
        return false;
    }
    const Value* keep(Value v) {
        plan_.values.push_back(std::move(v));
        return &plan_.values.back();
    }
    Slot constant(Value v) {
        Slot s;
        s.state = Slot::State::constant;
        s.shape = v.shape;
        s.value = keep(std::move(v));
        return s;
    }
    Slot frame(const Shape& shape) {
        Slot s;
        s.state = Slot::State::frame;
        s.shape = shape;
        s.tensor = plan_.newTensor(shape);
        return s;
    }
    Slot alias(const Slot& in, const Shape& shape) {
        if (in.state == Slot::State::constant) {
            Value v = *in.value;
            v.shape = shape;
            return constant(std::move(v));
        }
        Slot s = in;
        s.shape = shape;
        if (shape != in.shape) {
            s.tensor = plan_.newTensor(shape);
            plan_.tensors[s.tensor].root = plan_.tensors[in.tensor].root;
        }
        return s;
    }
    Operand operand(const Slot& s) const {
        Operand o;
        o.shape = s.shape;
        o.value = s.state == Slot::State::constant ? s.value : nullptr;
        o.tensor = s.state == Slot::State::frame ? s.tensor : -1;
        return o;
    }
    const Slot& in(const GraphNode& node, size_t k) const {
        const NodeInput& i = node.inputs[k];
        return slots_[i.node][i.port];
    }
    PlanOp& emit(PlanOp::Kind kind, const GraphNode& node, const std::string& label) {
        PlanOp op;
        op.kind = kind;
        op.node = node.name;
        op.label = label;
        plan_.ops.push_back(std::move(op));
        return plan_.ops.back();
    }
    bool isFlexible(const Slot& s) const {
        return s.state == Slot::State::frame &&
               plan_.tensors[plan_.tensors[s.tensor].root].flexible;
    }

    const ModelFile& model_;
    const std::vector<FeedInfo>& feeds_;
    Plan& plan_;
    std::vector<std::vector<Slot>> slots_;
    std::vector<char> dead_;
};

// Normalises an axis against a rank; false when out of range.
bool normaliseAxis(int64_t& axis, size_t rank) {
    if (axis < 0) axis += static_cast<int64_t>(rank);
    return axis >= 0 && axis < static_cast<int64_t>(rank);
}

bool valueInts(const Value& v, std::vector<int64_t>& out) {
    if (v.type != DType::i32 && v.type != DType::f32) return false;
    out.resize(static_cast<size_t>(v.count()));
    for (int64_t k = 0; k < v.count(); ++k) out[k] = v.integer(k);
    return true;
}

Value sliceValue(const Value& v, const Shape& begin, const std::vector<int64_t>& stride,
                 const Shape& outShape) {
    Value r;
    r.type = v.type;
    r.shape = outShape;
    const int64_t n = elementCount(outShape);
    if (v.type == DType::f32) {
        r.floats.resize(static_cast<size_t>(n));
        stridedGather(v.floats.data(), v.shape, begin, stride, r.floats.data(), outShape);
    } else {
        r.ints.resize(static_cast<size_t>(n));
        stridedGather(v.ints.data(), v.shape, begin, stride, r.ints.data(), outShape);
    }
    return r;
}

// SAME padding of TensorFlow: output ceil(in / stride), the extra cell after.
void samePadding(int64_t in, int64_t kernel, int64_t stride, int64_t dilation, int64_t& out,
                 int64_t& before, int64_t& after) {
    const int64_t span = (kernel - 1) * dilation + 1;
    out = (in + stride - 1) / stride;
    const int64_t total = std::max<int64_t>((out - 1) * stride + span - in, 0);
    before = total / 2;
    after = total - before;
}

bool Planner::lowerConv(const GraphNode& node, std::vector<Slot>& out, std::string& error) {
    const std::string& op = node.op;
    const bool transposed = op == "Conv2DBackpropInput";
    const Slot& x = in(node, transposed ? 2 : 0);
    const Slot& filter = in(node, 1);
    if (x.state != Slot::State::frame) return fail(node, "constant input not supported", error);
    if (filter.state != Slot::State::constant || !filter.value->isFloat() ||
        filter.shape.size() != 4)
        return fail(node, "the filter must be a constant float tensor of rank 4", error);
    if (x.shape.size() != 4)
        return fail(node, "input " + shapeText(x.shape) + " is not NHWC", error);
    ConvSpec s;
    s.kind = transposed ? ConvSpec::Kind::transposed
             : (op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative")
                 ? ConvSpec::Kind::depthwise
                 : ConvSpec::Kind::dense;
    const std::vector<int64_t> strides = attrInts(node, "strides");
    std::vector<int64_t> dilations = attrInts(node, "dilations");
    if (dilations.empty()) dilations = {1, 1, 1, 1};
    s.strideH = strides[1];
    s.strideW = strides[2];
    s.dilationH = dilations[1];
    s.dilationW = dilations[2];
    s.kernelH = filter.shape[0];
    s.kernelW = filter.shape[1];
    s.batch = x.shape[0];
    s.inH = x.shape[1];
    s.inW = x.shape[2];
    s.inC = x.shape[3];
    s.weights = filter.value->floats;
    const std::string padding = attrString(node, "padding", "VALID");
    if (transposed) {
        const Slot& sizes = in(node, 0);
        std::vector<int64_t> size;
        if (sizes.state != Slot::State::constant || !valueInts(*sizes.value, size) ||
            size.size() != 4)
            return fail(node, "the output size must be a constant of 4 values", error);
        if (filter.shape[3] != s.inC)
            return fail(
                node,
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        s.outH = size[1];
        s.outW = size[2];
        s.outC = filter.shape[2];
        if (size[0] != s.batch || size[3] != s.outC || s.outH < 1 || s.outW < 1)
            return fail(node, "output size " + shapeText(size) + " does not match", error);
        // The pads of the forward convolution that maps the output back to the input.
        int64_t expected = 0;
        if (padding == "SAME") {
            samePadding(s.outH, s.kernelH, s.strideH, s.dilationH, expected, s.padTop, s.padBottom);
            if (expected != s.inH)
                return fail(node, "output height does not match the input", error);
            samePadding(s.outW, s.kernelW, s.strideW, s.dilationW, expected, s.padLeft, s.padRight);
            if (expected != s.inW)
                return fail(node, "output width does not match the input", error);
        } else if (padding == "EXPLICIT") {
            const std::vector<int64_t> p = attrInts(node, "explicit_paddings");
            s.padTop = p[2];
            s.padBottom = p[3];
            s.padLeft = p[4];
            s.padRight = p[5];
        }
    } else {
        if (s.kind == ConvSpec::Kind::dense && filter.shape[2] != s.inC)
            return fail(
                node,
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        if (s.kind == ConvSpec::Kind::depthwise && filter.shape[2] != s.inC)
            return fail(
                node,
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        s.outC =
            s.kind == ConvSpec::Kind::dense ? filter.shape[3] : filter.shape[2] * filter.shape[3];
        if (padding == "SAME") {
            samePadding(s.inH, s.kernelH, s.strideH, s.dilationH, s.outH, s.padTop, s.padBottom);
            samePadding(s.inW, s.kernelW, s.strideW, s.dilationW, s.outW, s.padLeft, s.padRight);
        } else {
            if (padding == "EXPLICIT") {
                const std::vector<int64_t> p = attrInts(node, "explicit_paddings");
                s.padTop = p[2];
                s.padBottom = p[3];
                s.padLeft = p[4];
                s.padRight = p[5];
            }
            s.outH = ConvSpec::convOutSize(s.inH, s.kernelH, s.strideH, s.dilationH, s.padTop,
                                           s.padBottom);
            s.outW = ConvSpec::convOutSize(s.inW, s.kernelW, s.strideW, s.dilationW, s.padLeft,
                                           s.padRight);
        }
        if (s.outH < 1 || s.outW < 1)
            return fail(node, "input " + shapeText(x.shape) + " is smaller than the filter", error);
    }
    if (op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative") {
        const Slot& bias = in(node, 2);
        if (bias.state != Slot::State::constant || !bias.value->isFloat() ||
            bias.value->count() != s.outC)
            return fail(node,
                        "the bias must be a constant of " + std::to_string(s.outC) + " floats",
                        error);
        s.bias = bias.value->floats;
        const AttrValue* fused = node.attr("fused_ops");
        if (fused->strings.size() == 2) {
            const std::string& a = fused->strings[1];
            PostOp p;
            p.activation = a == "Relu"      ? Activation::relu
                           : a == "Relu6"   ? Activation::relu6
                           : a == "Sigmoid" ? Activation::sigmoid
                                            : Activation::tanh;
            s.postOps.push_back(p);
        }
    }
    const std::string base = transposed                            ? "Conv2DBackpropInput"
                             : s.kind == ConvSpec::Kind::depthwise ? "DepthwiseConv2dNative"
                                                                   : "Conv2D";
    PlanOp& p = emit(PlanOp::Kind::conv, node,
                     base + " " + std::to_string(s.kernelH) + "x" + std::to_string(s.kernelW));
    p.inputs.push_back(operand(x));
    out[0] = frame({s.batch, s.outH, s.outW, s.outC});
    p.outputs.push_back(out[0].tensor);
    p.conv = std::move(s);
    return true;
}

bool Planner::lower(int index, std::string& error) {
    const GraphNode& node = model_.nodes[index];
    std::vector<Slot>& out = slots_[index];
    const std::string& op = node.op;

    // Deadness: an untaken Switch branch kills every node downstream except Merge.
    bool anyDead = false;
    for (int c : node.controls) anyDead = anyDead || dead_[c] != 0;
    for (const NodeInput& i : node.inputs)
        anyDead = anyDead || slots_[i.node][i.port].state == Slot::State::dead;
    if (op == "Merge") {
        for (size_t k = 0; k < node.inputs.size(); ++k) {
            const Slot& s = in(node, k);
            if (s.state != Slot::State::dead) {
                out[0] = s;
                out[1] = constant(Value::ofInts({}, {static_cast<int32_t>(k)}));
                return true;
            }
        }
        dead_[index] = 1;
        for (Slot& s : out) s.state = Slot::State::dead;
        return true;
    }
    if (anyDead) {
        dead_[index] = 1;
        for (Slot& s : out) s.state = Slot::State::dead;
        return true;
    }
    for (const NodeInput& i : node.inputs)
        if (slots_[i.node][i.port].state == Slot::State::unset)
            return fail(node, "input from '" + model_.nodes[i.node].name + "' was not computed",
                        error);

    auto allConst = [&]() {
        for (size_t k = 0; k < node.inputs.size(); ++k)
            if (in(node, k).state != Slot::State::constant) return false;
        return true;
    };
    auto constInput = [&](size_t k) -> const Value* {
        return k < node.inputs.size() && in(node, k).state == Slot::State::constant
                   ? in(node, k).value
                   : nullptr;
    };
    auto needConstInts = [&](size_t k, const char* what, std::vector<int64_t>& values) {
        const Value* v = constInput(k);
        if (v == nullptr || !valueInts(*v, values))
            return fail(node, std::string(what) + " must be known before the frame", error);
        return true;
    };

    if (op == "NoOp") return true;
    if (op == "Const") {
        out[0].state = Slot::State::constant;
        out[0].value = &model_.weights[node.weight];
        out[0].shape = out[0].value->shape;
        return true;
    }
    if (op == "Placeholder") {
        for (size_t k = 0; k < feeds_.size(); ++k) {
            if (feeds_[k].name != node.name) continue;
            if (feeds_[k].value != nullptr) {
                out[0].state = Slot::State::constant;
                out[0].value = feeds_[k].value;
                out[0].shape = feeds_[k].value->shape;
            } else {
                out[0] = frame(feeds_[k].shape);
                plan_.tensors[out[0].tensor].input = static_cast<int>(k);
                plan_.tensors[out[0].tensor].flexible = feeds_[k].flexible;
            }
            return true;
        }
        return fail(node, "the input is not fed", error);
    }
    if (op == "Identity" || op == "Snapshot" || op == "StopGradient") {
        out[0] = in(node, 0);
        return true;
    }
    if (op == "Switch") {
        const Slot& pred = in(node, 1);
        if (pred.state != Slot::State::constant || pred.value->count() != 1)
            return fail(node, "the branch condition must be known before the frame", error);
        const bool taken = pred.value->number(0) != 0.0;
        out[taken ? 1 : 0] = in(node, 0);
        out[taken ? 0 : 1].state = Slot::State::dead;
        return true;
    }
    for (size_t k = 0; k < node.inputs.size(); ++k)
        if (in(node, k).shape.size() > kMaxBoxRank)
            return fail(node, "tensors of rank above 8 are not supported", error);
    const bool flexibleInput = !node.inputs.empty() && isFlexible(in(node, 0));
    if (flexibleInput && op != "BroadcastTo")
        return fail(node, "a recurrent input may only be broadcast", error);
    if (op == "Shape") {
        const Shape& shape = in(node, 0).shape;
        const std::vector<int32_t> dims(shape.begin(), shape.end());
        const Shape rank = {static_cast<int64_t>(dims.size())};
        out[0] = constant(Value::ofInts(rank, dims));
        return true;
    }
    if (op == "Cast") {
        const AttrValue* dst = node.attr("DstT");
        if (dst == nullptr || !dst->typeKnown) return fail(node, "unsupported target type", error);
        if (const Value* v = constInput(0)) {
            Value r;
            r.type = dst->type;
            r.shape = v->shape;
            for (int64_t k = 0; k < v->count(); ++k) {
                if (dst->type == DType::f32) {
                    r.floats.push_back(v->type == DType::f32 ? v->floats[k]
                                                             : static_cast<float>(v->ints[k]));
                } else if (dst->type == DType::boolean) {
                    r.ints.push_back(v->number(k) != 0.0 ? 1 : 0);
                } else {
                    // float -> int truncates toward zero, as TensorFlow's cast does
                    r.ints.push_back(v->type == DType::f32
                                         ? static_cast<int32_t>(std::trunc(v->floats[k]))
                                         : v->ints[k]);
                }
            }
            out[0] = constant(std::move(r));
            return true;
        }
        if (dst->type != DType::f32)
            return fail(node, "casting frame data to integers is not supported", error);
        out[0] = in(node, 0);
        return true;
    }
    if (op == "Squeeze" || op == "Reshape" || op == "ExpandDims") {
        const Shape& shape = in(node, 0).shape;
        Shape result;
        if (op == "Squeeze") {
            std::vector<int64_t> axes = attrInts(node, "squeeze_dims");
            for (int64_t& a : axes)
                if (!normaliseAxis(a, shape.size()))
                    return fail(node, "squeeze axis out of range", error);
            for (size_t d = 0; d < shape.size(); ++d) {
                const bool listed =
                    std::find(axes.begin(), axes.end(), static_cast<int64_t>(d)) != axes.end();
                if ((axes.empty() && shape[d] == 1) || listed) {
                    if (shape[d] != 1)
                        return fail(
                            node, "cannot squeeze a dimension of size " + std::to_string(shape[d]),
                            error);
                    continue;
                }
                result.push_back(shape[d]);
            }
        } else if (op == "Reshape") {
            std::vector<int64_t> dims;
            if (!needConstInts(1, "the new shape", dims)) return false;
            int64_t known = 1, unknown = -1;
            for (size_t d = 0; d < dims.size(); ++d) {
                if (dims[d] == -1) {
                    if (unknown >= 0) return fail(node, "more than one -1 in the shape", error);
                    unknown = static_cast<int64_t>(d);
                } else {
                    known *= dims[d];
                }
            }
            if (unknown >= 0 && known > 0) dims[unknown] = elementCount(shape) / known;
            if (elementCount(dims) != elementCount(shape))
                return fail(node, "cannot reshape " + shapeText(shape) + " to " + shapeText(dims),
                            error);
            result = dims;
        } else {
            std::vector<int64_t> axis;
            if (!needConstInts(1, "the axis", axis) || axis.size() != 1) return false;
            int64_t a = axis[0] < 0 ? axis[0] + static_cast<int64_t>(shape.size()) + 1 : axis[0];
            if (a < 0 || a > static_cast<int64_t>(shape.size()))
                return fail(node, "axis out of range", error);
            result = shape;
            result.insert(result.begin() + a, 1);
        }
        out[0] = alias(in(node, 0), result);
        return true;
    }
    if (op == "StridedSlice") {
        const Shape& shape = in(node, 0).shape;
        std::vector<int64_t> begin, end, strides;
        if (!needConstInts(1, "begin", begin) || !needConstInts(2, "end", end) ||
            !needConstInts(3, "strides", strides))
            return false;
        if (begin.size() != end.size() || begin.size() != strides.size() ||
            begin.size() > shape.size())
            return fail(node, "begin, end and strides do not match the input " + shapeText(shape),
                        error);
        const int64_t beginMask = attrInt(node, "begin_mask", 0),
                      endMask = attrInt(node, "end_mask", 0);
        const int64_t shrinkMask = attrInt(node, "shrink_axis_mask", 0);
        Shape start(shape.size(), 0), full(shape.size(), 0), kept;
        std::vector<int64_t> step(shape.size(), 1);
        for (size_t d = 0; d < shape.size(); ++d) {
            const int64_t dim = shape[d];
            if (d >= begin.size()) {
                full[d] = dim;
                kept.push_back(dim);
                continue;
            }
            const int64_t s = strides[d];
            if (s == 0) return fail(node, "stride 0", error);
            const bool shrink = (shrinkMask >> d) & 1;
            int64_t b = begin[d], e = end[d];
            if (shrink) {
                if (b < 0) b += dim;
                if (b < 0 || b >= dim)
                    return fail(node, "index " + std::to_string(begin[d]) + " out of range", error);
                start[d] = b;
                full[d] = 1;
                step[d] = 1;
                continue;
            }
            auto clampIndex = [&](int64_t v, bool masked, bool isBegin) {
                if (masked)
                    return isBegin ? (s > 0 ? int64_t{0} : dim - 1) : (s > 0 ? dim : int64_t{-1});
                if (v < 0) v += dim;
                return s > 0 ? std::clamp<int64_t>(v, 0, dim) : std::clamp<int64_t>(v, -1, dim - 1);
            };
            b = clampIndex(b, (beginMask >> d) & 1, true);
            e = clampIndex(e, (endMask >> d) & 1, false);
            const int64_t n = s > 0 ? std::max<int64_t>((e - b + s - 1) / s, 0)
                                    : std::max<int64_t>((b - e - s - 1) / -s, 0);
            start[d] = b;
            step[d] = s;
            full[d] = n;
            kept.push_back(n);
        }
        if (const Value* v = constInput(0)) {
            Value r = sliceValue(*v, start, step, full);
            r.shape = kept;
            out[0] = constant(std::move(r));
            return true;
        }
        const bool unit = std::all_of(step.begin(), step.end(), [](int64_t s) { return s == 1; });
        if (unit && full == shape) {  // the whole tensor (perhaps without unit dims): a view
            out[0] = alias(in(node, 0), kept);
            return true;
        }
        PlanOp& p =
            emit(unit ? PlanOp::Kind::slice : PlanOp::Kind::stridedSlice, node, "StridedSlice");
        p.inputs.push_back(operand(in(node, 0)));
        p.start = start;
        p.stride = step;
        out[0] = frame(kept);
        p.outputs.push_back(out[0].tensor);
        p.extent = full;  // the unshrunk extent; same element order as the output
        return true;
    }
    if (op == "Pack") {
        if (!allConst()) return fail(node, "packing frame data is not supported", error);
        int64_t axis = attrInt(node, "axis", 0);
        const Value& first = *constInput(0);
        for (size_t k = 1; k < node.inputs.size(); ++k)
            if (constInput(k)->shape != first.shape || constInput(k)->type != first.type)
                return fail(node, "inputs differ in shape or type", error);
        if (!normaliseAxis(axis, first.shape.size() + 1))
            return fail(node, "axis out of range", error);
        Value r;
        r.type = first.type;
        r.shape = first.shape;
        r.shape.insert(r.shape.begin() + axis, static_cast<int64_t>(node.inputs.size()));
        const int64_t outer = elementCount(Shape(first.shape.begin(), first.shape.begin() + axis));
        const int64_t inner = first.count() / std::max<int64_t>(outer, 1);
        for (int64_t o = 0; o < outer; ++o)
            for (size_t k = 0; k < node.inputs.size(); ++k)
                for (int64_t i = 0; i < inner; ++i) {
                    const Value& v = *constInput(k);
                    if (r.type == DType::f32) {
                        r.floats.push_back(v.floats[o * inner + i]);
                    } else {
                        r.ints.push_back(v.ints[o * inner + i]);
                    }
                }
        out[0] = constant(std::move(r));
        return true;
    }
    if (op == "Slice") {
        const Shape& shape = in(node, 0).shape;
        std::vector<int64_t> begin, size;
        if (!needConstInts(1, "begin", begin) || !needConstInts(2, "size", size)) return false;
        if (begin.size() != shape.size() || size.size() != shape.size())
            return fail(node, "begin and size do not match the input " + shapeText(shape), error);
        for (size_t d = 0; d < shape.size(); ++d) {
            if (size[d] == -1) size[d] = shape[d] - begin[d];
            if (begin[d] < 0 || size[d] < 0 || begin[d] + size[d] > shape[d])
                return fail(node,
                            "slice " + shapeText(begin) + " + " + shapeText(size) + " outside " +
                                shapeText(shape),
                            error);
        }
        if (const Value* v = constInput(0)) {
            out[0] = constant(sliceValue(*v, begin, std::vector<int64_t>(shape.size(), 1), size));
            return true;
        }
        if (size == shape) {  // the whole tensor: a view, not a copy
            out[0] = alias(in(node, 0), shape);
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::slice, node, "Slice");
        p.inputs.push_back(operand(in(node, 0)));
        p.start = begin;
        p.stride.assign(shape.size(), 1);
        out[0] = frame(size);
        p.extent = size;
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "ConcatV2") {
        const size_t n = node.inputs.size() - 1;
        std::vector<int64_t> axisValue;
        if (n < 1 || !needConstInts(n, "the axis", axisValue) || axisValue.size() != 1)
            return false;
        int64_t axis = axisValue[0];
        const Shape& first = in(node, 0).shape;
        if (!normaliseAxis(axis, first.size())) return fail(node, "axis out of range", error);
        Shape shape = first;
        shape[axis] = 0;
        bool constants = true;
        for (size_t k = 0; k < n; ++k) {
            const Shape& s = in(node, k).shape;
            if (s.size() != first.size()) return fail(node, "inputs differ in rank", error);
            for (size_t d = 0; d < s.size(); ++d)
                if (static_cast<int64_t>(d) != axis && s[d] != first[d])
                    return fail(node,
                                "input " + shapeText(s) + " does not match " + shapeText(first),
                                error);
            shape[axis] += s[axis];
            constants = constants && in(node, k).state == Slot::State::constant;
        }
        if (constants) {
            Value r;
            r.type = constInput(0)->type;
            r.shape = shape;
            if (r.type == DType::f32) {
                r.floats.resize(static_cast<size_t>(elementCount(shape)));
            } else {
                r.ints.resize(static_cast<size_t>(elementCount(shape)));
            }
            Shape at(shape.size(), 0), zero(shape.size(), 0);
            for (size_t k = 0; k < n; ++k) {
                const Value& v = *constInput(k);
                if (v.type != r.type) return fail(node, "inputs differ in type", error);
                if (r.type == DType::f32) {
                    copyBox(v.floats.data(), v.shape, zero, r.floats.data(), shape, at, v.shape,
                            false);
                } else {
                    copyBox(v.ints.data(), v.shape, zero, r.ints.data(), shape, at, v.shape, false);
                }
                at[axis] += v.shape[axis];
            }
            out[0] = constant(std::move(r));
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::concat, node, "ConcatV2");
        for (size_t k = 0; k < n; ++k) {
            if (in(node, k).state == Slot::State::constant && !in(node, k).value->isFloat())
                return fail(node, "integer data joined to frame data", error);
            p.inputs.push_back(operand(in(node, k)));
        }
        p.axis = static_cast<int>(axis);
        out[0] = frame(shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "Split" || op == "SplitV") {
        const size_t valueIndex = op == "Split" ? 1 : 0;
        const size_t axisIndex = op == "Split" ? 0 : 2;
        std::vector<int64_t> axisValue;
        if (!needConstInts(axisIndex, "the axis", axisValue) || axisValue.size() != 1) return false;
        const Slot& x = in(node, valueIndex);
        int64_t axis = axisValue[0];
        if (!normaliseAxis(axis, x.shape.size())) return fail(node, "axis out of range", error);
        const int64_t parts = static_cast<int64_t>(out.size());
        std::vector<int64_t> sizes;
        if (op == "Split") {
            if (x.shape[axis] % parts != 0)
                return fail(node,
                            "cannot split " + std::to_string(x.shape[axis]) + " into " +
                                std::to_string(parts),
                            error);
            sizes.assign(static_cast<size_t>(parts), x.shape[axis] / parts);
        } else {
            if (!needConstInts(1, "the split sizes", sizes) ||
                static_cast<int64_t>(sizes.size()) != parts)
                return fail(node, "split sizes do not match num_split", error);
            int64_t known = 0, unknown = -1;
            for (size_t k = 0; k < sizes.size(); ++k) {
                if (sizes[k] == -1) {
                    unknown = static_cast<int64_t>(k);
                } else {
                    known += sizes[k];
                }
            }
            if (unknown >= 0) sizes[unknown] = x.shape[axis] - known;
            int64_t total = 0;
            for (int64_t s : sizes) total += s < 0 ? x.shape[axis] + 1 : s;
            if (total != x.shape[axis])
                return fail(node, "split sizes do not add up to " + std::to_string(x.shape[axis]),
                            error);
        }
        if (x.state == Slot::State::constant) {
            Shape at(x.shape.size(), 0);
            for (int64_t k = 0; k < parts; ++k) {
                Shape part = x.shape;
                part[axis] = sizes[k];
                out[k] = constant(
                    sliceValue(*x.value, at, std::vector<int64_t>(x.shape.size(), 1), part));
                at[axis] += sizes[k];
            }
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::split, node, op);
        p.inputs.push_back(operand(x));
        p.axis = static_cast<int>(axis);
        for (int64_t k = 0; k < parts; ++k) {
            Shape part = x.shape;
            part[axis] = sizes[k];
            out[k] = frame(part);
            p.outputs.push_back(out[k].tensor);
        }
        return true;
    }
    if (op == "Pad" || op == "PadV2") {
        const Slot& x = in(node, 0);
        std::vector<int64_t> pads;
        if (!needConstInts(1, "the paddings", pads)) return false;
        if (pads.size() != 2 * x.shape.size())
            return fail(node, "paddings do not match the input rank", error);
        float padValue = 0.0f;
        if (op == "PadV2") {
            const Value* v = constInput(2);
            if (v == nullptr || v->count() != 1)
                return fail(node, "the pad value must be a constant", error);
            padValue = static_cast<float>(v->number(0));
        }
        Shape shape = x.shape, before(x.shape.size());
        for (size_t d = 0; d < x.shape.size(); ++d) {
            if (pads[2 * d] < 0 || pads[2 * d + 1] < 0)
                return fail(node, "negative padding", error);
            before[d] = pads[2 * d];
            shape[d] += pads[2 * d] + pads[2 * d + 1];
        }
        if (x.state == Slot::State::constant) {
            Value r;
            r.type = x.value->type;
            r.shape = shape;
            if (r.type == DType::f32) {
                r.floats.assign(static_cast<size_t>(elementCount(shape)), padValue);
                copyBox(x.value->floats.data(), x.shape, Shape(x.shape.size(), 0), r.floats.data(),
                        shape, before, x.shape, false);
            } else {
                r.ints.assign(static_cast<size_t>(elementCount(shape)),
                              static_cast<int32_t>(padValue));
                copyBox(x.value->ints.data(), x.shape, Shape(x.shape.size(), 0), r.ints.data(),
                        shape, before, x.shape, false);
            }
            out[0] = constant(std::move(r));
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::pad, node, "Pad");
        p.inputs.push_back(operand(x));
        p.start = before;
        p.padValue = padValue;
        out[0] = frame(shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "BroadcastTo") {
        const Slot& x = in(node, 0);
        std::vector<int64_t> shape;
        if (!needConstInts(1, "the target shape", shape)) return false;
        Shape check;
        if (!flexibleInput && (!broadcastShapes(x.shape, shape, check) || check != shape))
            return fail(node, "cannot broadcast " + shapeText(x.shape) + " to " + shapeText(shape),
                        error);
        if (x.state == Slot::State::constant) {
            if (!x.value->isFloat())
                return fail(node, "broadcasting integers is not supported", error);
            BroadcastPlan bp;
            BroadcastPlan::make(x.shape, shape, bp);
            std::vector<float> data(static_cast<size_t>(elementCount(shape)));
            broadcastFloat(bp, x.value->floats.data(), data.data(), false);
            out[0] = constant(Value::ofFloats(shape, std::move(data)));
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::broadcastTo, node, "BroadcastTo");
        p.inputs.push_back(operand(x));
        out[0] = frame(shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "SpaceToBatchND" || op == "BatchToSpaceND") {
        const Slot& x = in(node, 0);
        std::vector<int64_t> block, pads;
        if (!needConstInts(1, "the block shape", block) || !needConstInts(2, "the paddings", pads))
            return false;
        if (x.shape.size() != 4 || block.size() != 2 || pads.size() != 4 || block[0] < 1 ||
            block[1] < 1)
            return fail(node, "only 2-D blocks over NHWC are supported", error);
        if (x.state != Slot::State::frame) return fail(node, "constant input not supported", error);
        SpaceBatchSpec s;
        s.blockH = block[0];
        s.blockW = block[1];
        s.padTop = pads[0];
        s.padLeft = pads[2];
        for (int64_t v : pads)
            if (v < 0) return fail(node, "negative paddings", error);
        if (op == "SpaceToBatchND") {
            const int64_t h = x.shape[1] + pads[0] + pads[1], w = x.shape[2] + pads[2] + pads[3];
            if (h % s.blockH != 0 || w % s.blockW != 0)
                return fail(node, "padded size is not a multiple of the block", error);
            s.spaceShape = x.shape;
            s.batchShape = {x.shape[0] * s.blockH * s.blockW, h / s.blockH, w / s.blockW,
                            x.shape[3]};
        } else {
            if (x.shape[0] % (s.blockH * s.blockW) != 0)
                return fail(node, "batch is not a multiple of the block", error);
            s.batchShape = x.shape;
            s.spaceShape = {x.shape[0] / (s.blockH * s.blockW),
                            x.shape[1] * s.blockH - pads[0] - pads[1],
                            x.shape[2] * s.blockW - pads[2] - pads[3], x.shape[3]};
            if (s.spaceShape[1] < 0 || s.spaceShape[2] < 0)
                return fail(node, "crops larger than the input", error);
        }
        PlanOp& p =
            emit(op == "SpaceToBatchND" ? PlanOp::Kind::spaceToBatch : PlanOp::Kind::batchToSpace,
                 node, op);
        p.inputs.push_back(operand(x));
        p.spaceBatch = s;
        out[0] = frame(op == "SpaceToBatchND" ? s.batchShape : s.spaceShape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (binaryOps().count(op) != 0) {
        const Slot& a = in(node, 0);
        const Slot& b = in(node, 1);
        const BinaryOp bop = binaryOpOf(op);
        if (a.state == Slot::State::constant && b.state == Slot::State::constant) {
            Value r;
            if (!binaryValue(bop, *a.value, *b.value, r, error)) return fail(node, error, error);
            out[0] = constant(std::move(r));
            return true;
        }
        if ((a.state == Slot::State::constant && !a.value->isFloat()) ||
            (b.state == Slot::State::constant && !b.value->isFloat()))
            return fail(node, "integer operand combined with frame data", error);
        Shape shape;
        if (!broadcastShapes(a.shape, b.shape, shape))
            return fail(
                node,
                "shapes " + shapeText(a.shape) + " and " + shapeText(b.shape) + " do not broadcast",
                error);
        PlanOp& p = emit(PlanOp::Kind::binary, node,
                         op == "AddV2" || op == "BiasAdd" ? std::string("Add") : op);
        p.binary = bop;
        p.inputs = {operand(a), operand(b)};
        out[0] = frame(shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "AddN") {
        if (allConst()) {
            Value sum = *constInput(0);
            for (size_t k = 1; k < node.inputs.size(); ++k) {
                Value r;
                if (!binaryValue(BinaryOp::add, sum, *constInput(k), r, error))
                    return fail(node, error, error);
                sum = std::move(r);
            }
            out[0] = constant(std::move(sum));
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::addN, node, "AddN");
        for (size_t k = 0; k < node.inputs.size(); ++k) {
            if (in(node, k).shape != in(node, 0).shape)
                return fail(node, "inputs differ in shape", error);
            if (in(node, k).state == Slot::State::constant && !in(node, k).value->isFloat())
                return fail(node, "integer operand combined with frame data", error);
            p.inputs.push_back(operand(in(node, k)));
        }
        out[0] = frame(in(node, 0).shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (unaryOps().count(op) != 0) {
        const Slot& x = in(node, 0);
        if (x.state == Slot::State::constant) {
            Value r;
            if (!unaryValue(unaryOpOf(op), *x.value, r, error)) return fail(node, error, error);
            out[0] = constant(std::move(r));
            return true;
        }
        PlanOp& p = emit(PlanOp::Kind::unary, node, op);
        p.unary = unaryOpOf(op);
        p.inputs.push_back(operand(x));
        out[0] = frame(x.shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (isConvOp(op)) return lowerConv(node, out, error);
    if (op == "AvgPool" || op == "Mean") {
        const Slot& x = in(node, 0);
        if (x.state != Slot::State::frame) return fail(node, "constant input not supported", error);
        if (x.shape.size() != 4)
            return fail(node, "input " + shapeText(x.shape) + " is not NHWC", error);
        PoolSpec s;
        s.batch = x.shape[0];
        s.inH = x.shape[1];
        s.inW = x.shape[2];
        s.channels = x.shape[3];
        Shape shape;
        if (op == "AvgPool") {
            const std::vector<int64_t> k = attrInts(node, "ksize"), st = attrInts(node, "strides");
            s.kernelH = k[1];
            s.kernelW = k[2];
            s.strideH = st[1];
            s.strideW = st[2];
            if (attrString(node, "padding", "VALID") == "SAME") {
                samePadding(s.inH, s.kernelH, s.strideH, 1, s.outH, s.padTop, s.padBottom);
                samePadding(s.inW, s.kernelW, s.strideW, 1, s.outW, s.padLeft, s.padRight);
            } else {
                s.outH = ConvSpec::convOutSize(s.inH, s.kernelH, s.strideH, 1, 0, 0);
                s.outW = ConvSpec::convOutSize(s.inW, s.kernelW, s.strideW, 1, 0, 0);
            }
            if (s.outH < 1 || s.outW < 1)
                return fail(node, "input " + shapeText(x.shape) + " is smaller than the window",
                            error);
            shape = {s.batch, s.outH, s.outW, s.channels};
        } else {
            std::vector<int64_t> axes;
            if (!needConstInts(1, "the axes", axes)) return false;
            for (int64_t& a : axes)
                if (!normaliseAxis(a, 4)) return fail(node, "axis out of range", error);
            std::sort(axes.begin(), axes.end());
            const bool keep = attrBool(node, "keep_dims", false);
            if (axes == std::vector<int64_t>{1, 2}) {
                s.kernelH = s.inH;
                s.kernelW = s.inW;
                s.strideH = s.inH;
                s.strideW = s.inW;
                s.outH = s.outW = 1;
                shape = keep ? Shape{s.batch, 1, 1, s.channels} : Shape{s.batch, s.channels};
            } else if (axes == std::vector<int64_t>{3}) {
                PlanOp& p = emit(PlanOp::Kind::channelMean, node, "Mean");
                p.inputs.push_back(operand(x));
                out[0] = frame(keep ? Shape{x.shape[0], x.shape[1], x.shape[2], 1}
                                    : Shape{x.shape[0], x.shape[1], x.shape[2]});
                p.outputs.push_back(out[0].tensor);
                return true;
            } else {
                return fail(node, "mean over axes " + shapeText(axes) + " not supported", error);
            }
        }
        PlanOp& p = emit(PlanOp::Kind::pool, node, op);
        p.inputs.push_back(operand(x));
        p.pool = s;
        out[0] = frame(shape);
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    if (op == "ResizeBilinear") {
        const Slot& x = in(node, 0);
        std::vector<int64_t> size;
        if (!needConstInts(1, "the size", size)) return false;
        if (size.size() != 2)
            return fail(node, "size " + shapeText(size) + " is not 2 values", error);
        if (x.state != Slot::State::frame) return fail(node, "constant input not supported", error);
        if (x.shape.size() != 4)
            return fail(node, "input " + shapeText(x.shape) + " is not NHWC", error);
        if (size[0] < 1 || size[1] < 1 || size[0] > (1 << 16) || size[1] > (1 << 16))
            return fail(node, "size " + shapeText(size) + " out of range", error);
        ResizeSpec s;
        s.batch = x.shape[0];
        s.inH = x.shape[1];
        s.inW = x.shape[2];
        s.channels = x.shape[3];
        s.outH = size[0];
        s.outW = size[1];
        s.alignCorners = attrBool(node, "align_corners", false);
        s.halfPixelCenters = attrBool(node, "half_pixel_centers", false);
        PlanOp& p = emit(PlanOp::Kind::resize, node, "ResizeBilinear");
        p.inputs.push_back(operand(x));
        p.resize = s;
        out[0] = frame({s.batch, s.outH, s.outW, s.channels});
        p.outputs.push_back(out[0].tensor);
        return true;
    }
    return fail(node, "operation not supported by the engine", error);
}

bool Planner::run(const std::vector<std::string>& outputs, std::string& error) {
    // The nodes the outputs need, through data and control edges.
    std::vector<char> needed(model_.nodes.size(), 0);
    std::vector<int> stack;
    std::vector<std::pair<int, int>> wanted;
    for (const std::string& name : outputs) {
        std::string base;
        int port = 0;
        splitInputName(name, base, port);
        auto it = model_.index.find(base);
        if (it == model_.index.end() || port < 0 || port >= outputCount(model_.nodes[it->second])) {
            error = "the graph has no output '" + name + "'";
            return false;
        }
        wanted.emplace_back(it->second, port);
        stack.push_back(it->second);
    }
    while (!stack.empty()) {
        const int k = stack.back();
        stack.pop_back();
        if (needed[k]) continue;
        needed[k] = 1;
        for (const NodeInput& i : model_.nodes[k].inputs) stack.push_back(i.node);
        for (int c : model_.nodes[k].controls) stack.push_back(c);
    }
    for (int k : model_.order) {
        if (needed[k] && lower(k, error)) {
            // Shapes come from the model and the feeds: refuse absurd ones before they are used.
            for (const Slot& s : slots_[k]) {
                if (s.state == Slot::State::dead || s.state == Slot::State::unset) continue;
                int64_t count = 1;
                for (int64_t d : s.shape) {
                    if (d < 0 || (d > 0 && count > kMaxElements / d)) {
                        error = "node '" + model_.nodes[k].name + "' (" + model_.nodes[k].op +
                                "): shape " + shapeText(s.shape) + " is impossible or too large";
                        return false;
                    }
                    count *= d;
                }
            }
            continue;
        }
        if (needed[k]) {
            if (error.empty())
                error = "node '" + model_.nodes[k].name + "' (" + model_.nodes[k].op +
                        ") cannot be planned";
            return false;
        }
    }
    for (const auto& [node, port] : wanted) {
        const Slot& s = slots_[node][port];
        if (s.state == Slot::State::dead) {
            error = "output '" + model_.nodes[node].name + "' is on a branch not taken";
            return false;
        }
        PlanOutput o;
        o.shape = s.shape;
        o.value = s.state == Slot::State::constant ? s.value : nullptr;
        o.tensor = s.state == Slot::State::frame ? s.tensor : -1;
        plan_.outputs.push_back(o);
    }
    return true;
}

// Places every arena tensor at an offset so that tensors alive at the same time never overlap.
void placeTensors(Plan& plan) {
    constexpr int64_t kAlign = 16;  // floats: 64 bytes
    std::vector<TensorDesc>& t = plan.tensors;
    const int end = static_cast<int>(plan.ops.size());
    for (TensorDesc& d : t) {
        d.first = INT_MAX;
        d.last = -1;
    }
    int step = 0;
    for (const PlanOp& op : plan.ops) {
        if (op.removed) continue;
        for (int o : op.outputs) {
            TensorDesc& r = t[t[o].root];
            r.first = std::min(r.first, step);
            r.last = std::max(r.last, step);
        }
        for (const Operand& in : op.inputs) {
            if (in.tensor < 0) continue;
            TensorDesc& r = t[t[in.tensor].root];
            r.last = std::max(r.last, step);
        }
        ++step;
    }
    for (const PlanOutput& o : plan.outputs)
        if (o.tensor >= 0) t[t[o.tensor].root].last = end;
    // Size of each root = the largest view of it.
    std::vector<int64_t> size(t.size(), 0);
    for (const TensorDesc& d : t) size[d.root] = std::max(size[d.root], elementCount(d.shape));
    std::vector<int> roots;
    for (size_t k = 0; k < t.size(); ++k)
        if (t[k].root == static_cast<int>(k) && t[k].input < 0 && t[k].first != INT_MAX)
            roots.push_back(static_cast<int>(k));
    std::sort(roots.begin(), roots.end(),
              [&](int a, int b) { return size[a] != size[b] ? size[a] > size[b] : a < b; });
    std::vector<int> placed;
    int64_t total = 0;
    for (int r : roots) {
        const int64_t need = (size[r] + kAlign - 1) / kAlign * kAlign;
        std::vector<std::pair<int64_t, int64_t>> busy;
        for (int p : placed)
            if (!(t[p].last < t[r].first || t[r].last < t[p].first))
                busy.emplace_back(t[p].offset,
                                  t[p].offset + (size[p] + kAlign - 1) / kAlign * kAlign);
        std::sort(busy.begin(), busy.end());
        int64_t at = 0;
        for (const auto& [b, e] : busy) {
            if (at + need <= b) break;
            at = std::max(at, e);
        }
        t[r].offset = at;
        total = std::max(total, at + need);
        placed.push_back(r);
    }
    plan.arenaFloats = total;
    for (TensorDesc& d : t)
        if (d.root != static_cast<int>(&d - t.data())) d.offset = t[d.root].offset;
}

}  // namespace

bool checkSupported(const ModelFile& model, std::string& error) {
    for (const GraphNode& node : model.nodes)
        if (!checkNode(node, error)) return false;
    for (const GraphNode& node : model.nodes) {
        for (const NodeInput& i : node.inputs) {
            if (i.port >= outputCount(model.nodes[i.node])) {
                error = "node '" + node.name + "' reads output " + std::to_string(i.port) +
                        " of '" + model.nodes[i.node].name + "', which has " +
                        std::to_string(outputCount(model.nodes[i.node]));
                return false;
            }
        }
    }
    return true;
}

bool buildPlan(const ModelFile& model, const std::vector<FeedInfo>& feeds,
               const std::vector<std::string>& outputs, const EngineOptions& options,
               const dnnl::engine& engine, Plan& plan, std::string& error) {
    Planner planner(model, feeds, plan);
    if (!planner.run(outputs, error)) return false;
    if (options.kernels == Kernels::fast) fusePlan(plan);
    placeTensors(plan);
    const size_t bytes =
        static_cast<size_t>(std::max<int64_t>(plan.arenaFloats, 16)) * sizeof(float);
    void* memory = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (memory == nullptr) {
        error = "cannot allocate " + std::to_string(bytes >> 20) + " MB for the model's tensors";
        return false;
    }
    plan.arena.reset(static_cast<float*>(memory));
    return makeSteps(plan, options, engine, error);
}

}  // namespace figsplit::engine
