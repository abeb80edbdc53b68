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

}  // namespace figsplit::engine
