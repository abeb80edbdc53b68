// The segmentation service on the graph engine: rvm for accurate quality, selfie for balanced.
#include <memory>

#include "platform/segmentation/picture_input.h"
#include "platform/segmentation/rvm_model.h"
#include "platform/segmentation/selfie_model.h"
#include "platform/segmentation/working_size.h"
#include "platform/segmenter.h"

namespace figsplit {

namespace {

// rvm: the picture at its working size in, alpha at that size out. A sequence segmenter feeds
// the recurrent state from one frame to the next and starts over when the working size changes;
// a single-image segmenter starts every picture from zero state.
class RvmSegmenter : public Segmenter {
  public:
    RvmSegmenter(std::unique_ptr<RvmModel> model, bool sequence)
        : model_(std::move(model)), sequence_(sequence) {}

    ImageSize inputSize(int64_t width, int64_t height) const override {
        const RvmWorkingSize w = rvmWorkingSize(width, height, sequence_);
        return {w.width, w.height};
    }

    bool perform(const RgbImage& upright, GreyImage& matte, std::string& error) override {
        if (!checkPicture(upright, error)) return false;
        const RvmWorkingSize w = rvmWorkingSize(upright.width, upright.height, sequence_);
        if (!sequence_ || w.width != last_.width || w.height != last_.height ||
            w.downsampleRatio != last_.downsampleRatio)
            state_.reset();
        last_ = w;
        const float* rgb = input_.convert(upright, w.width, w.height);
        if (!model_->run(rgb, w.height, w.width, w.downsampleRatio, state_, alpha_, nullptr, error))
            return false;
        matteFromAlpha(alpha_.data.data(), w.width, w.height, matte);
        return true;
    }

  private:
    std::unique_ptr<RvmModel> model_;
    bool sequence_;
    RvmState state_;
    RvmWorkingSize last_;
    PictureInput input_;
    engine::Tensor alpha_;
};

// selfie: the picture stretched to 256 x 256, whatever its aspect; the probability of "person"
// out at 256 x 256. It has no state.
class SelfieSegmenter : public Segmenter {
  public:
    explicit SelfieSegmenter(std::unique_ptr<SelfieModel> model) : model_(std::move(model)) {}

    ImageSize inputSize(int64_t, int64_t) const override { return {kSide, kSide}; }

    bool perform(const RgbImage& upright, GreyImage& matte, std::string& error) override {
        if (!checkPicture(upright, error)) return false;
        const float* rgb = input_.convert(upright, kSide, kSide);
        if (!model_->run(rgb, probability_, error)) return false;
        matteFromAlpha(probability_.data.data(), kSide, kSide, matte);
        return true;
    }

  private:
    static constexpr int64_t kSide = SelfieModel::kSide;
    std::unique_ptr<SelfieModel> model_;
    PictureInput input_;
    engine::Tensor probability_;
};

}  // namespace

SegmenterResult makeSegmenter(Quality quality, bool sequence) {
    SegmenterResult result;
    if (quality == Quality::accurate) {
        std::unique_ptr<RvmModel> model = RvmModel::load(result.error);
        if (model) result.segmenter = std::make_unique<RvmSegmenter>(std::move(model), sequence);
    } else {
        std::unique_ptr<SelfieModel> model = SelfieModel::load(result.error);
        if (model) result.segmenter = std::make_unique<SelfieSegmenter>(std::move(model));
    }
    return result;
}

}  // namespace figsplit
