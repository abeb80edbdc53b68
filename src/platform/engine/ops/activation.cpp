#include "platform/engine/ops/activation.h"

#include "platform/engine/ops/onednn_util.h"

namespace figsplit::engine {

const char* activationName(Activation a) {
    switch (a) {
        case Activation::none:
            return "";
        case Activation::relu:
            return "Relu";
        case Activation::relu6:
            return "Relu6";
        case Activation::sigmoid:
            return "Sigmoid";
        case Activation::tanh:
            return "Tanh";
        case Activation::hardswish:
            return "HardSwish";
    }
    return "";
}

void appendActivation(dnnl::post_ops& ops, Activation a) {
    switch (a) {
        case Activation::none:
            return;
        case Activation::relu:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_relu, 0.0f, 0.0f);
            return;
        case Activation::relu6:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_clip, 0.0f, 6.0f);
            return;
        case Activation::sigmoid:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_logistic, 0.0f, 0.0f);
            return;
        case Activation::tanh:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_tanh, 0.0f, 0.0f);
            return;
        case Activation::hardswish:
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_hardswish, 0.0f, 0.0f);
            return;
    }
}

void PreparedPrimitive::prepare(dnnl::primitive primitive,
                                const std::vector<std::pair<int, dnnl::memory>>& args) {
    primitive_ = std::move(primitive);
    args_ = args;
    raw_.clear();
    for (const auto& [arg, memory] : args_) raw_.push_back({arg, memory.get()});
}

void PreparedPrimitive::execute(dnnl::stream& stream) {
    dnnl::error::wrap_c_api(dnnl_primitive_execute(primitive_.get(), stream.get(),
                                                   static_cast<int>(raw_.size()), raw_.data()),
                            "could not execute a primitive");
}

bool postOpsRunOnOnednn(const std::vector<PostOp>& ops) {
    struct Eltwise {
        int algorithm;
        float alpha, beta;
    };
    std::vector<Eltwise> seen;
    for (const PostOp& p : ops) {
        Eltwise e{0, 0.0f, 0.0f};
        switch (p.kind) {
            case PostOp::Kind::add:
                continue;
            case PostOp::Kind::clip:
                e = {1, p.low, p.high};
                break;
            case PostOp::Kind::linear:
                e = {2, p.scale, p.shift};
                break;
            case PostOp::Kind::activation:
                // relu6 is clip(0, 6) on oneDNN; the others take no parameters
                e = {10 + static_cast<int>(p.activation), 0.0f, 0.0f};
                break;
        }
        for (const Eltwise& s : seen)
            if (s.algorithm == e.algorithm && (s.alpha != e.alpha || s.beta != e.beta))
                return false;
        seen.push_back(e);
    }
    return true;
}

}  // namespace figsplit::engine
