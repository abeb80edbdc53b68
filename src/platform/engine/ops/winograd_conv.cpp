#include "platform/engine/ops/winograd_conv.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace figsplit::engine {

namespace {

// F(4x4, 3x3): a 6x6 input tile d gives the 4x4 output A^T [(G g G^T) .* (B^T d B)] A.
constexpr int kAlpha = 6;  // input tile side
constexpr int kPositions = kAlpha * kAlpha;
constexpr int kOut = 4;        // output tile side
constexpr int64_t kLanes = 8;  // floats per AVX2 vector

constexpr double kG[kAlpha][3] = {{1.0 / 4, 0, 0},
                                  {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                  {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                  {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                  {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                  {0, 0, 1}};

int64_t roundUp(int64_t v, int64_t to) {
    return (v + to - 1) / to * to;
}

// The 6x6 input pixels of one tile: pointers to their channel 0, with the pixels outside the image
// (the zero padding) pointing at a row of zeros as long as the channels.
struct TileWindow {
    const float* pixels[kAlpha * kAlpha];

    TileWindow(const ConstChannelSlice& src, const float* zeros, int64_t height, int64_t width,
               int64_t tile, int64_t tilesH, int64_t tilesW) {
        const int64_t n = tile / (tilesH * tilesW);
        const int64_t y0 = (tile / tilesW) % tilesH * kOut - 1;
        const int64_t x0 = tile % tilesW * kOut - 1;
        for (int k = 0; k < kAlpha; ++k) {
            const int64_t y = y0 + k;
            for (int j = 0; j < kAlpha; ++j) {
                const int64_t x = x0 + j;
                pixels[k * kAlpha + j] =
                    y >= 0 && y < height && x >= 0 && x < width
                        ? src.base + ((n * height + y) * width + x) * src.pixelStride +
                              src.channelOffset
                        : zeros;
            }
        }
    }
    const float* at(int k, int j) const { return pixels[k * kAlpha + j]; }
};

// The output pixels of one tile (rows or columns past the image's edge are dropped).
struct TileTarget {
    float* origin;  // channel 0 of the tile's top-left output pixel
    int rows, columns;
    int64_t rowStride, columnStride;

    TileTarget(const ChannelSlice& dst, int64_t height, int64_t width, int64_t tile, int64_t tilesH,
               int64_t tilesW) {
        const int64_t n = tile / (tilesH * tilesW);
        const int64_t y0 = (tile / tilesW) % tilesH * kOut;
        const int64_t x0 = tile % tilesW * kOut;
        rows = static_cast<int>(std::min<int64_t>(kOut, height - y0));
        columns = static_cast<int>(std::min<int64_t>(kOut, width - x0));
        columnStride = dst.pixelStride;
        rowStride = width * dst.pixelStride;
        origin = dst.base + ((n * height + y0) * width + x0) * dst.pixelStride + dst.channelOffset;
    }
};

// ---------------------------------------------------------------------------------------------
// Portable variant: the same algorithm one channel at a time.

// B^T applied to six values (one column or row of the input tile).
template <typename T>
inline void inputRows(const T d[kAlpha], T r[kAlpha]) {
    r[0] = 4 * d[0] - 5 * d[2] + d[4];
    const T a = d[4] - 4 * d[2], b = d[3] - 4 * d[1];
    r[1] = a + b;
    r[2] = a - b;
    const T c = d[4] - d[2], e = 2 * (d[3] - d[1]);
    r[3] = c + e;
    r[4] = c - e;
    r[5] = 4 * d[1] - 5 * d[3] + d[5];
}

// A^T applied to six values.
template <typename T>
inline void outputRows(const T m[kAlpha], T o[kOut]) {
    const T s1 = m[1] + m[2], d1 = m[1] - m[2];
    const T s2 = m[3] + m[4], d2 = m[3] - m[4];
    o[0] = m[0] + s1 + s2;
    o[1] = d1 + 2 * d2;
    o[2] = s1 + 4 * s2;
    o[3] = d1 + 8 * d2 + m[5];
}

void inputTransformPortable(const TileWindow& window, int64_t inC, float* v,
                            int64_t positionStride) {
    for (int64_t c = 0; c < inC; ++c) {
        float d[kAlpha][kAlpha], t[kAlpha][kAlpha];
        for (int k = 0; k < kAlpha; ++k)
            for (int j = 0; j < kAlpha; ++j) {
                d[k][j] = window.at(k, j)[c];
            }
        for (int j = 0; j < kAlpha; ++j) {
            float column[kAlpha], r[kAlpha];
            for (int k = 0; k < kAlpha; ++k) column[k] = d[k][j];
            inputRows(column, r);
            for (int i = 0; i < kAlpha; ++i) t[i][j] = r[i];
        }
        for (int i = 0; i < kAlpha; ++i) {
            float r[kAlpha];
            inputRows(t[i], r);
            for (int j = 0; j < kAlpha; ++j) v[(i * kAlpha + j) * positionStride + c] = r[j];
        }
    }
}

void gemmPortable(const float* v, const float* u, float* m, int64_t rows, int64_t inC,
                  int64_t vStride, int64_t outCPadded) {
    for (int64_t r = 0; r < rows; ++r) {
        float* out = m + r * outCPadded;
        std::fill(out, out + outCPadded, 0.0f);
        for (int64_t i = 0; i < inC; ++i) {
            const float x = v[r * vStride + i];
            const float* w = u + i * outCPadded;
            for (int64_t o = 0; o < outCPadded; ++o) out[o] += x * w[o];
        }
    }
}

void outputTransformPortable(const float* m, int64_t positionStride, const float* bias,
                             Activation activation, int64_t outC, const TileTarget& target) {
    for (int64_t c = 0; c < outC; ++c) {
        float t[kAlpha][kOut];
        for (int i = 0; i < kAlpha; ++i) {
            float row[kAlpha];
            for (int j = 0; j < kAlpha; ++j) row[j] = m[(i * kAlpha + j) * positionStride + c];
            outputRows(row, t[i]);
        }
        for (int x = 0; x < target.columns; ++x) {
            float column[kAlpha], o[kOut];
            for (int i = 0; i < kAlpha; ++i) column[i] = t[i][x];
            outputRows(column, o);
            for (int y = 0; y < target.rows; ++y)
                target.origin[y * target.rowStride + x * target.columnStride + c] =
                    activate(activation, o[y] + bias[c]);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Vector variants: the same kernels compiled for AVX2 + FMA, and again for machines with AVX-512,
// where the compiler may also use its 32 vector registers (the transforms' 36 tile values then
// spill less) and its masked moves. Both work on 256-bit vectors.

namespace avx2 {
#define FIGSPLIT_SIMD [[gnu::target("avx2,fma")]]
#include "platform/engine/ops/winograd_simd.inc"
#undef FIGSPLIT_SIMD
}  // namespace avx2

namespace avx512 {
#define FIGSPLIT_SIMD [[gnu::target("avx2,fma,avx512f,avx512vl")]]
#include "platform/engine/ops/winograd_simd.inc"
#undef FIGSPLIT_SIMD
}  // namespace avx512

bool avx2Supported() {
    // The processor's flags; GCC's check also requires the OS to save the 256-bit registers.
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool avx512Supported() {
    return avx2Supported() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl");
}

bool isaSupported(WinogradIsa isa) {
    switch (isa) {
        case WinogradIsa::portable:
            return true;
        case WinogradIsa::avx2:
            return avx2Supported();
        case WinogradIsa::avx512:
            return avx512Supported();
    }
    return false;
}

}  // namespace

WinogradIsa bestWinogradIsa() {
    return avx512Supported() ? WinogradIsa::avx512
           : avx2Supported() ? WinogradIsa::avx2
                             : WinogradIsa::portable;
}

const char* winogradIsaName(WinogradIsa isa) {
    switch (isa) {
        case WinogradIsa::avx512:
            return "avx512";
        case WinogradIsa::avx2:
            return "avx2";
        case WinogradIsa::portable:
            break;
    }
    return "portable";
}

bool WinogradConv::supports(const ConvSpec& s) {
    if (s.kind != ConvSpec::Kind::dense || s.kernelH != 3 || s.kernelW != 3 || s.strideH != 1 ||
        s.strideW != 1 || s.dilationH != 1 || s.dilationW != 1 || s.padTop != 1 || s.padLeft != 1 ||
        s.padBottom != 1 || s.padRight != 1 || s.inH != s.outH || s.inW != s.outW || s.inC < 1 ||
        s.outC < 1 || s.batch < 1 || s.inH < 1 || s.inW < 1)
        return false;
    if (s.weights.size() != static_cast<size_t>(9 * s.inC * s.outC)) return false;
    if (!s.bias.empty() && s.bias.size() != static_cast<size_t>(s.outC)) return false;
    return s.postOps.empty() ||
           (s.postOps.size() == 1 && s.postOps[0].kind == PostOp::Kind::activation);
}

WinogradConv::Buffer WinogradConv::allocate(int64_t floats) {
    const size_t bytes = static_cast<size_t>(roundUp(std::max<int64_t>(floats, 1) * 4, 64));
    float* p = static_cast<float*>(std::aligned_alloc(64, bytes));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, bytes);
    return Buffer(p);
}

WinogradConv::WinogradConv(const ConvSpec& s, WinogradIsa isa) {
    if (!supports(s))
        throw std::invalid_argument(
            "Winograd convolution needs a dense 3x3 stride-1 SAME convolution with at most an "
            "activation after its bias");
    isa_ = isa;
    if (!isaSupported(isa_)) isa_ = WinogradIsa::avx2;
    if (!isaSupported(isa_)) isa_ = WinogradIsa::portable;
    activation_ = s.postOps.empty() ? Activation::none : s.postOps[0].activation;
    inC_ = s.inC;
    outC_ = s.outC;
    inCPadded_ = roundUp(inC_, kLanes);
    outCPadded_ = roundUp(outC_, kLanes);

    // U = G g G^T for every input/output channel pair, in double, stored by position.
    weights_ = allocate(kPositions * inC_ * outCPadded_);
    float* u = weights_.get();
    for (int64_t i = 0; i < inC_; ++i)
        for (int64_t o = 0; o < outC_; ++o) {
            double g[3][3], gg[kAlpha][3];
            for (int ky = 0; ky < 3; ++ky)
                for (int kx = 0; kx < 3; ++kx)
                    g[ky][kx] =
                        s.weights[static_cast<size_t>(((ky * 3 + kx) * inC_ + i) * outC_ + o)];
            for (int a = 0; a < kAlpha; ++a)
                for (int kx = 0; kx < 3; ++kx)
                    gg[a][kx] = kG[a][0] * g[0][kx] + kG[a][1] * g[1][kx] + kG[a][2] * g[2][kx];
            for (int a = 0; a < kAlpha; ++a)
                for (int b = 0; b < kAlpha; ++b)
                    u[((a * kAlpha + b) * inC_ + i) * outCPadded_ + o] = static_cast<float>(
                        gg[a][0] * kG[b][0] + gg[a][1] * kG[b][1] + gg[a][2] * kG[b][2]);
        }
    bias_ = allocate(outCPadded_ + kLanes);
    zeros_ = allocate(inCPadded_);
    if (!s.bias.empty()) std::copy(s.bias.begin(), s.bias.end(), bias_.get());
    prepare(s.batch, s.inH, s.inW, omp_get_max_threads());
}

void WinogradConv::prepare(int64_t batch, int64_t height, int64_t width, int threads) {
    if (batch < 1 || height < 1 || width < 1)
        throw std::invalid_argument("Winograd convolution on an empty input");
    threads = std::max(threads, 1);
    if (batch == batch_ && height == height_ && width == width_ && threads == threads_) return;
    batch_ = batch;
    height_ = height;
    width_ = width;
    threads_ = threads;
    tilesH_ = (height + kOut - 1) / kOut;
    tilesW_ = (width + kOut - 1) / kOut;
    tiles_ = batch * tilesH_ * tilesW_;
    // A block's transformed input and products stay in the worker's share of the L2 cache, and
    // there are enough blocks for every worker to get several: blocks are handed out as workers
    // become free, so a worker that the system delays (the machine is shared with the decoder
    // and the encoder) does not hold the others up at the end.
    const int64_t bytesPerTile = kPositions * (inCPadded_ + outCPadded_) * 4;
    constexpr int64_t kBlockBytes = 256 * 1024;
    int64_t block = std::clamp<int64_t>(kBlockBytes / bytesPerTile / 6 * 6, 6, 96);
    const int64_t parts = threads > 1 ? 4 * threads : 1;
    const int64_t share = roundUp((tiles_ + parts - 1) / parts, 6);
    blockTiles_ = std::max<int64_t>(std::min(block, share), 1);
    scratchPerThread_ = roundUp(kPositions * blockTiles_ * (inCPadded_ + outCPadded_) +
                                    (projected_ ? kOut * kOut * outCPadded_ : 0),
                                16);
    // The last output part's last vector may read up to 7 floats past the products.
    scratch_ = allocate(scratchPerThread_ * threads + kLanes);
}

void WinogradConv::runBlock(int64_t firstTile, int64_t tileCount, float* v, float* m,
                            std::span<const InputPart> src, std::span<const OutputPart> dst) const {
    const int64_t vPosition = blockTiles_ * inCPadded_;   // floats between positions in V
    const int64_t mPosition = blockTiles_ * outCPadded_;  // ... and in M
    const WinogradIsa isa = isa_;
    for (int64_t t = 0; t < tileCount; ++t) {
        float* vt = v + t * inCPadded_;
        for (const InputPart& part : src) {
            const TileWindow window(part.slice, zeros_.get(), height_, width_, firstTile + t,
                                    tilesH_, tilesW_);
            if (isa == WinogradIsa::avx512)
                avx512::inputTransformAvx2(window, part.channels, vt, vPosition);
            else if (isa == WinogradIsa::avx2)
                avx2::inputTransformAvx2(window, part.channels, vt, vPosition);
            else
                inputTransformPortable(window, part.channels, vt, vPosition);
            vt += part.channels;
        }
    }
    for (int p = 0; p < kPositions; ++p) {
        const float* vp = v + p * vPosition;
        const float* up = weights_.get() + p * inC_ * outCPadded_;
        float* mp = m + p * mPosition;
        if (isa == WinogradIsa::avx512)
            avx512::gemmAvx2(vp, up, mp, tileCount, inC_, inCPadded_, outCPadded_);
        else if (isa == WinogradIsa::avx2)
            avx2::gemmAvx2(vp, up, mp, tileCount, inC_, inCPadded_, outCPadded_);
        else
            gemmPortable(vp, up, mp, tileCount, inC_, inCPadded_, outCPadded_);
    }
    auto transformOut = [&](const float* mt, const float* bias, int64_t channels,
                            const TileTarget& target) {
        if (isa == WinogradIsa::avx512)
            avx512::outputTransformAvx2(mt, mPosition, bias, activation_, channels, target);
        else if (isa == WinogradIsa::avx2)
            avx2::outputTransformAvx2(mt, mPosition, bias, activation_, channels, target);
        else
            outputTransformPortable(mt, mPosition, bias, activation_, channels, target);
    };
    if (projected_) {
        // Each tile's outputs go to a small buffer, then through the 1x1 projection per pixel.
        float* tileOut = m + kPositions * mPosition;
        const ConvSpec& pr = projection_;
        for (int64_t t = 0; t < tileCount; ++t) {
            TileTarget buffer(dst[0].slice, height_, width_, firstTile + t, tilesH_, tilesW_);
            buffer.origin = tileOut;
            buffer.columnStride = outCPadded_;
            buffer.rowStride = kOut * outCPadded_;
            transformOut(m + t * outCPadded_, bias_.get(), outC_, buffer);
            int64_t first = 0;  // the part's first channel of the projection's output
            for (const OutputPart& part : dst) {
                const TileTarget target(part.slice, height_, width_, firstTile + t, tilesH_,
                                        tilesW_);
                for (int y = 0; y < target.rows; ++y)
                    for (int x = 0; x < target.columns; ++x) {
                        const float* in = tileOut + (y * kOut + x) * outCPadded_;
                        float* out = target.origin + y * target.rowStride + x * target.columnStride;
                        for (int64_t j = 0; j < part.channels; ++j) {
                            const int64_t o = first + j;
                            float sum = 0.0f;
                            for (int64_t c = 0; c < outC_; ++c)
                                sum += in[c] * pr.weights[static_cast<size_t>(c * pr.outC + o)];
                            float v = sum + (pr.bias.empty() ? 0.0f : pr.bias[o]);
                            for (const PostOp& post : pr.postOps) v = applyPostOp(post, v);
                            out[j] = v;
                        }
                    }
                first += part.channels;
            }
        }
        return;
    }
    for (int64_t t = 0; t < tileCount; ++t) {
        const float* mt = m + t * outCPadded_;
        const float* bias = bias_.get();
        for (const OutputPart& part : dst) {
            const TileTarget target(part.slice, height_, width_, firstTile + t, tilesH_, tilesW_);
            transformOut(mt, bias, part.channels, target);
            mt += part.channels;
            bias += part.channels;
        }
    }
}

void WinogradConv::setProjection(const ConvSpec& p) {
    const bool fits =
        p.kind == ConvSpec::Kind::dense && p.kernelH == 1 && p.kernelW == 1 && p.strideH == 1 &&
        p.strideW == 1 && p.padTop == 0 && p.padLeft == 0 && p.padBottom == 0 && p.padRight == 0 &&
        p.inC == outC_ && p.outC >= 1 && p.weights.size() == static_cast<size_t>(p.inC * p.outC) &&
        (p.bias.empty() || p.bias.size() == static_cast<size_t>(p.outC)) &&
        std::all_of(p.postOps.begin(), p.postOps.end(),
                    [](const PostOp& o) { return o.kind == PostOp::Kind::activation; });
    if (!fits)
        throw std::invalid_argument(
            "Winograd convolution: a projection must be a 1x1 convolution of its output");
    projection_ = p;
    projected_ = true;
    const int64_t batch = batch_;
    batch_ = -1;  // the scratch grows by one tile's outputs
    prepare(batch, height_, width_, threads_);
}

void WinogradConv::run(ConstChannelSlice src, ChannelSlice dst) {
    const InputPart in{src, inC_};
    const OutputPart out{dst, outC_};
    run(std::span<const InputPart>(&in, 1), std::span<const OutputPart>(&out, 1));
}

void WinogradConv::run(std::span<const InputPart> src, std::span<const OutputPart> dst) {
    int64_t inTotal = 0, outTotal = 0;
    for (const InputPart& p : src) {
        const ConstChannelSlice& s = p.slice;
        if (s.base == nullptr || p.channels < 1 || s.channelOffset < 0 ||
            s.pixelStride < s.channelOffset + p.channels)
            throw std::invalid_argument("Winograd convolution: channel slice outside its tensor");
        inTotal += p.channels;
    }
    for (const OutputPart& p : dst) {
        const ChannelSlice& s = p.slice;
        if (s.base == nullptr || p.channels < 1 || s.channelOffset < 0 ||
            s.pixelStride < s.channelOffset + p.channels)
            throw std::invalid_argument("Winograd convolution: channel slice outside its tensor");
        outTotal += p.channels;
    }
    if (inTotal != inC_ || outTotal != outChannels())
        throw std::invalid_argument("Winograd convolution: the parts hold " +
                                    std::to_string(inTotal) + " input and " +
                                    std::to_string(outTotal) + " output channels, not " +
                                    std::to_string(inC_) + " and " + std::to_string(outChannels()));
    const int64_t blocks = (tiles_ + blockTiles_ - 1) / blockTiles_;
    const int workers =
        static_cast<int>(std::min<int64_t>(std::min(threads_, omp_get_max_threads()), blocks));
#pragma omp parallel num_threads(workers)
    {
        float* v = scratch_.get() + omp_get_thread_num() * scratchPerThread_;
        float* m = v + kPositions * blockTiles_ * inCPadded_;
#pragma omp for schedule(dynamic, 1)
        for (int64_t b = 0; b < blocks; ++b) {
            const int64_t first = b * blockTiles_;
            runBlock(first, std::min(blockTiles_, tiles_ - first), v, m, src, dst);
        }
    }
}

void conv3x3Reference(const ConvSpec& s, ConstChannelSlice src, ChannelSlice dst,
                      float* magnitude) {
    const Activation activation = s.postOps.empty() ? Activation::none : s.postOps[0].activation;
    const int64_t pixels = s.batch * s.outH * s.outW;
#pragma omp parallel for
    for (int64_t p = 0; p < pixels; ++p) {
        const int64_t n = p / (s.outH * s.outW), oy = p / s.outW % s.outH, ox = p % s.outW;
        for (int64_t o = 0; o < s.outC; ++o) {
            const double bias = s.bias.empty() ? 0.0 : s.bias[static_cast<size_t>(o)];
            double sum = bias, scale = std::fabs(bias);
            for (int64_t ky = 0; ky < 3; ++ky) {
                const int64_t iy = oy + ky - 1;
                if (iy < 0 || iy >= s.inH) continue;
                for (int64_t kx = 0; kx < 3; ++kx) {
                    const int64_t ix = ox + kx - 1;
                    if (ix < 0 || ix >= s.inW) continue;
                    const float* in = src.base + ((n * s.inH + iy) * s.inW + ix) * src.pixelStride +
                                      src.channelOffset;
                    const float* w = s.weights.data() + (ky * 3 + kx) * s.inC * s.outC + o;
                    for (int64_t i = 0; i < s.inC; ++i) {
                        const double term = double(in[i]) * w[i * s.outC];
                        sum += term;
                        scale += std::fabs(term);
                    }
                }
            }
            dst.base[p * dst.pixelStride + dst.channelOffset + o] =
                activate(activation, static_cast<float>(sum));
            if (magnitude != nullptr) magnitude[p * s.outC + o] = static_cast<float>(scale);
        }
    }
}

}  // namespace figsplit::engine
