// The segmentation service on the graph engine: rvm at both qualities, at a larger network side
// for accurate and a smaller one for balanced.
#include <memory>

#include "platform/segmentation/picture_input.h"
#include "platform/segmentation/rvm_model.h"
#include "platform/segmentation/working_size.h"
#include "platform/segmenter.h"

namespace figsplit {

namespace {

// rvm: the picture at its working size in, alpha at that size out. A sequence segmenter feeds
// the recurrent state from one frame to the next and starts over when the working size changes;
// a single-image segmenter starts every picture from zero state. Each segmenter owns its model
// and its state.
class RvmSegmenter : public Segmenter {
  public:
    RvmSegmenter(std::unique_ptr<RvmModel> model, bool sequence, RvmSides sides)
        : model_(std::move(model)), sequence_(sequence), sides_(sides) {}

    ImageSize inputSize(int64_t width, int64_t height) const override {
        const RvmWorkingSize w = rvmWorkingSize(width, height, sides_);
        return {w.width, w.height};
    }

    bool perform(const RgbImage& upright, GreyImage& matte, std::string& error) override {
        if (!checkPicture(upright, error)) return false;
        const RvmWorkingSize w = rvmWorkingSize(upright.width, upright.height, sides_);
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
    RvmSides sides_;
    RvmState state_;
    RvmWorkingSize last_;
    PictureInput input_;
    engine::Tensor alpha_;
};

}  // namespace

SegmenterResult makeSegmenter(Quality quality, bool sequence) {
    SegmenterResult result;
    const RvmSides sides = quality == Quality::balanced ? kRvmVideoBalanced
                           : sequence                   ? kRvmVideoAccurate
                                                        : kRvmStill;
    std::unique_ptr<RvmModel> model = RvmModel::load(result.error);
    if (model) result.segmenter = std::make_unique<RvmSegmenter>(std::move(model), sequence, sides);
    return result;
}

}  // namespace figsplit
