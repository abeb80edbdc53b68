#pragma once
// rvm (Robust Video Matting) on the graph engine: its inputs (the picture, the downsample ratio,
// four recurrent states), its outputs (alpha, foreground, the next states) and the state carried
// from frame to frame.
//
// Ownership and threading: an RvmModel owns its engine model and the buffers a run reuses, so a
// steady stream of same-sized frames allocates nothing after the second; use it from one thread
// at a time. The recurrent state belongs to the caller.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/engine.h"

namespace figsplit {

// rvm's recurrent state, owned by the caller. A default-constructed (empty) state means "zero
// state" (fed as [1,1,1,1] zeros). After a successful run the state holds r1o..r4o, to be fed back
// on the next frame. Reset it (`reset()`) when the input size or the ratio changes.
struct RvmState {
    engine::Tensor r1, r2, r3, r4;
    void reset();
    bool empty() const { return r1.shape.empty(); }
};

class RvmModel {
  public:
    // Loads the embedded rvm model. On failure returns null and sets `error`.
    static std::unique_ptr<RvmModel> load(std::string& error, engine::EngineOptions options = {});
    explicit RvmModel(std::unique_ptr<engine::Model> model);

    // Runs rvm on one frame: `rgb` is [1,h,w,3] float RGB in 0..1, NHWC. `pha` receives [1,h,w,1]
    // alpha in 0..1; `fgr` (optional) receives [1,h,w,3]. `downsampleRatio` in (0, 1]; 1 skips
    // the downsampling and the guided filter. Returns false with a reason on failure (the state
    // is then left unchanged).
    bool run(const float* rgb, int64_t h, int64_t w, float downsampleRatio, RvmState& state,
             engine::Tensor& pha, engine::Tensor* fgr, std::string& error);

    engine::Model& model() { return *model_; }

  private:
    std::unique_ptr<engine::Model> model_;
    // Reused from run to run so that a steady stream of frames allocates nothing.
    std::vector<engine::Input> inputs_;
    std::vector<std::string> outputs_;
    std::vector<engine::Tensor*> results_;
    float zero_[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    engine::Tensor nextState_[4];  // r1o..r4o before they become the caller's state
};

}  // namespace figsplit
