#pragma once
// Stride-1 3x3 dense convolution with one pixel of zero padding (TensorFlow SAME), bias and an
// activation, by Winograd's minimal filtering F(4x4, 3x3): each 4x4 block of output pixels costs
// 36 multiplications per input/output channel pair instead of 144. The 36 products form 36 small
// matrix products over the channels, run by our own AVX2+FMA micro-kernel (chosen at run time, so
// the binary still runs on baseline x86-64, where a portable copy of the same algorithm runs; on
// AVX-512 machines the same intrinsics compiled for that target run).
//
// Input and output may be channel slices of larger NHWC tensors (`ChannelSlice`): a producer can
// write straight into its part of a concatenated tensor and a consumer read its part of one.
//
// Ownership and threading: a WinogradConv owns its transformed weights and its scratch, sized by
// `prepare` for one batch/height/width and a number of OpenMP workers; `run` allocates nothing and
// runs on the process's OpenMP pool (the one oneDNN uses). One run at a time per object.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "platform/engine/ops/activation.h"
#include "platform/engine/ops/conv.h"

namespace figsplit::engine {

// A run of channels inside an NHWC tensor: pixel p's channel c of the slice is at
// base[p * pixelStride + channelOffset + c]. A whole tensor of C channels is {base, C, 0}.
struct ChannelSlice {
    float* base = nullptr;
    int64_t pixelStride = 0;    // floats from one pixel to the next (the tensor's channel count)
    int64_t channelOffset = 0;  // first channel of the slice
};

struct ConstChannelSlice {
    const float* base = nullptr;
    int64_t pixelStride = 0;
    int64_t channelOffset = 0;
};

// One piece of a convolution's input when the input is the channel concatenation of several
// tensors, in channel order; or one piece of its output when the output channels go to several
// tensors (a split). The convolution reads and writes the pieces in place: the concatenated or
// unsplit tensor never exists.
struct InputPart {
    ConstChannelSlice slice;
    int64_t channels = 0;
};

struct OutputPart {
    ChannelSlice slice;
    int64_t channels = 0;
};

enum class WinogradIsa {
    portable,  // plain C++ for the x86-64 baseline (slow; for machines without AVX2 and tests)
    avx2,      // AVX2 + FMA intrinsics; on a machine without them, portable runs instead
    avx512,    // the same intrinsics compiled for AVX-512 machines (more registers, masked moves);
               // elsewhere the best of the two others runs
};

// The fastest variant this machine runs.
WinogradIsa bestWinogradIsa();
const char* winogradIsaName(WinogradIsa isa);

class WinogradConv {
  public:
    // Whether the kernel computes `params`: dense, 3x3, stride 1, no dilation, padding 1 on every
    // side (so the output has the input's size), and post-ops that are at most one activation.
    static bool supports(const ConvSpec& params);

    // Transforms the weights once and prepares for params' batch/height/width on
    // omp_get_max_threads() workers. Throws std::invalid_argument when !supports(params).
    explicit WinogradConv(const ConvSpec& params, WinogradIsa isa = bestWinogradIsa());

    // Applies a 1x1 convolution (`projection`: dense, stride 1, no padding, inC = this one's
    // outC, post-ops at most activations) to each output pixel in the same pass: the output is
    // then the projection's outC channels and the convolution's own output is never stored.
    // Throws std::invalid_argument for a projection it cannot apply.
    void setProjection(const ConvSpec& projection);

    // Sizes the scratch for another input size or worker count; does nothing when unchanged.
    void prepare(int64_t batch, int64_t height, int64_t width, int threads);

    // dst = activation(conv(src) + bias) over the prepared batch/height/width. src holds inC
    // channels per pixel, dst receives outC; channels of dst outside the slice are not touched.
    // Pixel strides must be at least the slice's channel count plus its offset; the written
    // channels of dst must not overlap src's channels in memory. Runs on
    // min(prepared workers, omp_get_max_threads()) threads. Throws std::invalid_argument for a
    // slice that does not fit its pixel stride.
    void run(ConstChannelSlice src, ChannelSlice dst);
    // The same with the input joined from `src` (their channels add up to inC) and the output
    // split over `dst` (their channels add up to outC). Throws std::invalid_argument when they do
    // not add up or a slice does not fit its pixel stride.
    void run(std::span<const InputPart> src, std::span<const OutputPart> dst);

    int64_t inChannels() const { return inC_; }
    // Channels of the output: the projection's when there is one.
    int64_t outChannels() const { return projected_ ? projection_.outC : outC_; }
    WinogradIsa isa() const { return isa_; }
    // Tiles (4x4 output blocks) transformed together by one worker (for diagnostics).
    int64_t tilesPerBlock() const { return blockTiles_; }

  private:
    struct FreeDeleter {
        void operator()(float* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<float, FreeDeleter>;
    static Buffer allocate(int64_t floats);

    void runBlock(int64_t firstTile, int64_t tileCount, float* v, float* m,
                  std::span<const InputPart> src, std::span<const OutputPart> dst) const;

    WinogradIsa isa_;
    Activation activation_ = Activation::none;
    int64_t inC_ = 0, outC_ = 0;
    int64_t inCPadded_ = 0, outCPadded_ = 0;  // rounded up to 8 (one AVX2 vector)
    Buffer weights_;  // [36][inC][outCPadded]: G g G^T per transform position
    Buffer bias_;     // [outCPadded + 8]: an output part's last vector may read past outC
    Buffer zeros_;    // [inCPadded]: what the padding around the image reads

    int64_t batch_ = -1, height_ = -1, width_ = -1;
    int threads_ = 0;
    int64_t tilesH_ = 0, tilesW_ = 0, tiles_ = 0;
    int64_t blockTiles_ = 0;
    int64_t scratchPerThread_ = 0;  // floats: V [36][blockTiles][inCPadded], M [36][..][outCPadded]
                                    // and, with a projection, one tile's outputs [16][outCPadded]
    bool projected_ = false;
    ConvSpec projection_;
    Buffer scratch_;
};

// The plain definition for the convolutions WinogradConv supports: a direct convolution
// accumulated in double, on slices as `run` takes them. When `magnitude` is not null it receives,
// per output value, |bias| + sum |w * x| (the scale that rounding errors of any summation order
// are proportional to), as a dense [pixels][outC] array.
void conv3x3Reference(const ConvSpec& params, ConstChannelSlice src, ChannelSlice dst,
                      float* magnitude = nullptr);

}  // namespace figsplit::engine
