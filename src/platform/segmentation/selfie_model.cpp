// selfie's node names: one input, one output.
#include "platform/segmentation/selfie_model.h"

#include <utility>

#include "platform/segmentation/embedded_models.h"

namespace figsplit {

std::unique_ptr<SelfieModel> SelfieModel::load(std::string& error, engine::EngineOptions options) {
    std::unique_ptr<engine::Model> model = loadEmbeddedModel(ModelKind::selfie, error, options);
    if (!model) return nullptr;
    return std::make_unique<SelfieModel>(std::move(model));
}

SelfieModel::SelfieModel(std::unique_ptr<engine::Model> model) : model_(std::move(model)) {}

bool SelfieModel::run(const float* rgb256, engine::Tensor& probability, std::string& error) {
    if (rgb256 == nullptr) {
        error = "selfie: no input";
        return false;
    }
    std::vector<engine::Input>& feeds = inputs_;
    if (feeds.size() != 1) {
        feeds.assign(1, engine::Input{});
        feeds[0].name = "input_1";
        feeds[0].shape = {1, kSide, kSide, 3};
    }
    feeds[0].data = rgb256;
    std::vector<std::string>& outputs = outputs_;
    if (outputs.size() != 1) outputs = {"activation_10:0"};
    std::vector<engine::Tensor*>& results = results_;
    results.assign({&probability});
    if (!model_->run(feeds, outputs, results, error)) {
        error = "selfie: " + error;
        return false;
    }
    return true;
}

}  // namespace figsplit
