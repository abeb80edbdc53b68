#pragma once
// MediaPipe selfie segmentation on the graph engine: a 256 x 256 picture in, the probability of
// "person" per pixel out. It has no state. Use from one thread at a time.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/engine.h"

namespace figsplit {

class SelfieModel {
  public:
    static constexpr int64_t kSide = 256;

    // Loads the embedded selfie model. On failure returns null and sets `error`.
    static std::unique_ptr<SelfieModel> load(std::string& error,
                                             engine::EngineOptions options = {});
    explicit SelfieModel(std::unique_ptr<engine::Model> model);

    // `rgb256` is [1,256,256,3] float RGB in 0..1; `probability` receives [1,256,256,1].
    bool run(const float* rgb256, engine::Tensor& probability, std::string& error);

    engine::Model& model() { return *model_; }

  private:
    std::unique_ptr<engine::Model> model_;
    std::vector<engine::Input> inputs_;
    std::vector<std::string> outputs_;
    std::vector<engine::Tensor*> results_;
};

}  // namespace figsplit
