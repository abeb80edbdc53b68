#pragma once
// Small helpers shared by the oneDNN fast paths.
#include <oneapi/dnnl/dnnl.hpp>
#include <utility>
#include <vector>

#include "platform/engine/ops/activation.h"

namespace figsplit::engine {

// Appends the oneDNN eltwise post-op equal to `a` (nothing for none).
void appendActivation(dnnl::post_ops& ops, Activation a);

// oneDNN 2.6's jit kernels compute wrong results when one eltwise algorithm appears twice in a
// post-op chain with different parameters (e.g. relu6 = clip(0, 6) and a later clip(0, 1)).
// False for such chains: they must not be given to oneDNN.
bool postOpsRunOnOnednn(const std::vector<PostOp>& ops);

// A primitive with its argument list prepared once: running it changes only the data pointers.
// (The C++ execute() builds a map and a vector on every call.)
class PreparedPrimitive {
  public:
    void prepare(dnnl::primitive primitive, const std::vector<std::pair<int, dnnl::memory>>& args);
    // Points argument `index` (in the order given to prepare) at `data`.
    void bind(size_t index, const void* data) {
        args_[index].second.set_data_handle(const_cast<void*>(data));
    }
    void execute(dnnl::stream& stream);

  private:
    dnnl::primitive primitive_;
    std::vector<std::pair<int, dnnl::memory>> args_;
    std::vector<dnnl_exec_arg_t> raw_;
};

}  // namespace figsplit::engine
