// rvm's node names, its inputs and outputs, and the recurrent state fed from one frame to the
// next.
#include "platform/segmentation/rvm_model.h"

#include <utility>

#include "platform/segmentation/embedded_models.h"

namespace figsplit {

void RvmState::reset() {
    for (engine::Tensor* t : {&r1, &r2, &r3, &r4}) {
        t->shape.clear();
        t->data.clear();
    }
}

std::unique_ptr<RvmModel> RvmModel::load(std::string& error, engine::EngineOptions options) {
    std::unique_ptr<engine::Model> model = loadEmbeddedModel(ModelKind::rvm, error, options);
    if (!model) return nullptr;
    return std::make_unique<RvmModel>(std::move(model));
}

RvmModel::RvmModel(std::unique_ptr<engine::Model> model) : model_(std::move(model)) {}

bool RvmModel::run(const float* rgb, int64_t h, int64_t w, float downsampleRatio, RvmState& state,
                   engine::Tensor& pha, engine::Tensor* fgr, std::string& error) {
    if (rgb == nullptr || h < 1 || w < 1 || h > 16384 || w > 16384) {
        error = "rvm: impossible input size " + std::to_string(w) + "x" + std::to_string(h);
        return false;
    }
    if (!(downsampleRatio > 0.0f && downsampleRatio <= 1.0f)) {
        error = "rvm: the downsample ratio must lie in (0, 1]";
        return false;
    }
    std::vector<engine::Input>& feeds = inputs_;
    if (feeds.size() != 6) {
        feeds.assign(6, engine::Input{});
        const char* names[] = {"src", "r1i", "r2i", "r3i", "r4i", "downsample_ratio"};
        for (int k = 0; k < 6; ++k) feeds[k].name = names[k];
    }
    feeds[0].data = rgb;
    if (feeds[0].shape.size() != 4) feeds[0].shape.assign(4, 1);
    feeds[0].shape[1] = h;
    feeds[0].shape[2] = w;
    feeds[0].shape[3] = 3;
    const engine::Tensor* states[] = {&state.r1, &state.r2, &state.r3, &state.r4};
    const bool fresh = state.empty();
    for (int k = 0; k < 4; ++k) {
        engine::Input& f = feeds[1 + k];
        if (fresh) {
            f.data = zero_;
            if (f.shape.size() != 4 || f.shape != std::vector<int64_t>{1, 1, 1, 1})
                f.shape.assign(4, 1);
        } else {
            const engine::Tensor& t = *states[k];
            if (t.shape.empty() || static_cast<int64_t>(t.data.size()) != t.elementCount()) {
                error = "rvm: recurrent state " + std::to_string(k + 1) + " is incomplete";
                return false;
            }
            f.data = t.data.data();
            if (f.shape != t.shape) f.shape = t.shape;
        }
    }
    feeds[5].data = &downsampleRatio;
    feeds[5].shape.clear();
    std::vector<std::string>& outputs = outputs_;
    const size_t want = fgr != nullptr ? 6 : 5;
    if (outputs.size() != want) {
        outputs = {"Identity_1:0", "Identity_2:0", "Identity_3:0", "Identity_4:0", "Identity_5:0"};
        if (fgr != nullptr) outputs.push_back("Identity:0");
    }
    // Results go to scratch state first: the current state is still an input of this run.
    engine::Tensor* next = nextState_;  // reused: no allocation per frame after the first
    std::vector<engine::Tensor*>& results = results_;
    results.assign({&pha, &next[0], &next[1], &next[2], &next[3]});
    if (fgr != nullptr) results.push_back(fgr);
    if (!model_->run(feeds, outputs, results, error)) {
        error = "rvm: " + error;
        return false;
    }
    std::swap(state.r1, next[0]);
    std::swap(state.r2, next[1]);
    std::swap(state.r3, next[2]);
    std::swap(state.r4, next[3]);
    if (fresh) {
        // Size the spare buffers now, so that the second frame allocates nothing either.
        const engine::Tensor* current[] = {&state.r1, &state.r2, &state.r3, &state.r4};
        for (int k = 0; k < 4; ++k) next[k].reshape(current[k]->shape);
    }
    return true;
}

}  // namespace figsplit
