// rvm's stride-1 3x3 dense convolutions (the decoder's, with their fused bias and activation) at
// 960x540 with network long side 512 and 640, on 1 and 2 threads: our Winograd F(4x4, 3x3)
// kernel against the engine's current kernel (oneDNN's direct convolution on NHWC with the same
// post-ops), measured in the same run, interleaved frame by frame. Also oneDNN's own Winograd
// (on AVX-512 machines only; it wants blocked layouts, so it is shown alone and with the reorders
// from and to NHWC that the engine would need; * marks layers whose activation it does not take
// as a post-op, timed without it) and `convolution_auto`.
//
// Per layer: min / median ms of each kernel, the ratio of medians to the direct convolution, and
// the largest difference between our output and the direct one (relative to the output's largest
// magnitude); then the totals over all layers. Options:
//   --frames N     timed repetitions per layer (default 15, at least 5)
//   --threads "1 2"
// Idle workers wait as in figsplit itself (a short spin, then sleep; see
// src/platform/engine/wait_policy.h): workers that spin on without end while the system
// deschedules them make every kernel's two-thread figures a measure of the scheduler instead.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/engine/ops/conv.h"
#include "platform/engine/ops/winograd_conv.h"
#include "platform/engine/wait_policy.h"

namespace {

using namespace figsplit::engine;
using dnnl::memory;

constexpr int kWarmUp = 3;

struct Layer {
    int64_t height, width, inC, outC;
    Activation activation;
};

// The engine's plan for rvm at 960x540 (ratio 512/960 and 640/960), read from the oneDNN
// primitives it creates: the decoder stages at 1/8, 1/4, 1/2 of the network size (each a conv +
// ReLU, then the ConvGRU's gates conv + sigmoid and candidate conv + tanh), the 1/16 stage's
// ConvGRU, and the two projection convs at the full network size.
struct NetworkSize {
    int side;
    std::vector<Layer> layers;
};

std::vector<NetworkSize> rvmLayers() {
    const Activation relu = Activation::relu, sigmoid = Activation::sigmoid,
                     tanh = Activation::tanh;
    // Feature sizes at 1/16 .. 1/1 of the network input for each side.
    struct Sizes {
        int side;
        int64_t h[5], w[5];
    };
    const Sizes sizes[] = {{512, {18, 36, 72, 144, 288}, {32, 64, 128, 256, 512}},
                           {640, {23, 45, 90, 180, 360}, {40, 80, 160, 320, 640}}};
    std::vector<NetworkSize> out;
    for (const Sizes& s : sizes) {
        out.push_back({s.side,
                       {{s.h[0], s.w[0], 128, 128, sigmoid},
                        {s.h[0], s.w[0], 128, 64, tanh},
                        {s.h[1], s.w[1], 171, 80, relu},
                        {s.h[1], s.w[1], 80, 80, sigmoid},
                        {s.h[1], s.w[1], 80, 40, tanh},
                        {s.h[2], s.w[2], 107, 40, relu},
                        {s.h[2], s.w[2], 40, 40, sigmoid},
                        {s.h[2], s.w[2], 40, 20, tanh},
                        {s.h[3], s.w[3], 59, 32, relu},
                        {s.h[3], s.w[3], 32, 32, sigmoid},
                        {s.h[3], s.w[3], 32, 16, tanh},
                        {s.h[4], s.w[4], 35, 16, relu},
                        {s.h[4], s.w[4], 16, 16, relu}}});
    }
    return out;
}

ConvSpec makeSpec(const Layer& l, std::mt19937& random) {
    ConvSpec s;
    s.inH = s.outH = l.height;
    s.inW = s.outW = l.width;
    s.inC = l.inC;
    s.outC = l.outC;
    s.kernelH = s.kernelW = 3;
    s.padTop = s.padLeft = s.padBottom = s.padRight = 1;
    std::uniform_real_distribution<float> weight(-1.0f, 1.0f);
    const float scale = 1.5f / std::sqrt(9.0f * static_cast<float>(l.inC));
    s.weights.resize(static_cast<size_t>(9 * l.inC * l.outC));
    for (float& w : s.weights) w = weight(random) * scale;
    s.bias.resize(static_cast<size_t>(l.outC));
    for (float& b : s.bias) b = weight(random) * 0.2f;
    PostOp p;
    p.activation = l.activation;
    s.postOps.push_back(p);
    return s;
}

struct Timing {
    double min = 0, median = 0;
};

Timing summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    return {ms.front(), n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2};
}

// oneDNN's convolution with a given algorithm on layouts of its choice, with the reorders from
// and to NHWC; null when oneDNN has no implementation here.
struct OnednnConv {
    dnnl::convolution_forward conv;
    dnnl::reorder toBlocked, toNhwc;
    memory nhwcSrc, nhwcDst, src, dst, weights, bias;
    bool reorderSrc = false, reorderDst = false;
    bool activationDropped = false;
    std::string impl;

    void runConv(dnnl::stream& stream) {
        conv.execute(stream, {{DNNL_ARG_SRC, src},
                              {DNNL_ARG_WEIGHTS, weights},
                              {DNNL_ARG_BIAS, bias},
                              {DNNL_ARG_DST, dst}});
        stream.wait();
    }
    void runWithReorders(dnnl::stream& stream) {
        if (reorderSrc) toBlocked.execute(stream, nhwcSrc, src);
        conv.execute(stream, {{DNNL_ARG_SRC, src},
                              {DNNL_ARG_WEIGHTS, weights},
                              {DNNL_ARG_BIAS, bias},
                              {DNNL_ARG_DST, dst}});
        if (reorderDst) toNhwc.execute(stream, dst, nhwcDst);
        stream.wait();
    }
};

std::unique_ptr<OnednnConv> makeOnednnConv(const ConvSpec& s, dnnl::algorithm algorithm,
                                           memory::format_tag layout, const dnnl::engine& engine,
                                           float* input, float* output,
                                           bool withActivation = true) {
    using tag = memory::format_tag;
    const memory::dims srcDims = {1, s.inC, s.inH, s.inW}, dstDims = {1, s.outC, s.outH, s.outW};
    const memory::dims weightDims = {s.outC, s.inC, 3, 3};
    const memory::desc srcMd(srcDims, memory::data_type::f32, layout);
    const memory::desc dstMd(dstDims, memory::data_type::f32, layout);
    const memory::desc weightsMd(weightDims, memory::data_type::f32, tag::any);
    const memory::desc biasMd({s.outC}, memory::data_type::f32, tag::x);
    dnnl::post_ops ops;
    if (withActivation) appendActivation(ops, s.postOps[0].activation);
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    auto result = std::make_unique<OnednnConv>();
    try {
        const dnnl::convolution_forward::desc desc(dnnl::prop_kind::forward_inference, algorithm,
                                                   srcMd, weightsMd, biasMd, dstMd, {1, 1}, {0, 0},
                                                   {1, 1}, {1, 1});
        const dnnl::convolution_forward::primitive_desc pd(desc, attr, engine);
        result->conv = dnnl::convolution_forward(pd);
        result->impl = pd.impl_info_str();
        dnnl::stream stream(engine);
        memory user(memory::desc(weightDims, memory::data_type::f32, tag::hwio), engine,
                    const_cast<float*>(s.weights.data()));
        result->weights = memory(pd.weights_desc(), engine);
        dnnl::reorder(user, result->weights).execute(stream, user, result->weights);
        result->bias = memory(biasMd, engine, const_cast<float*>(s.bias.data()));
        result->nhwcSrc =
            memory(memory::desc(srcDims, memory::data_type::f32, tag::nhwc), engine, input);
        result->nhwcDst =
            memory(memory::desc(dstDims, memory::data_type::f32, tag::nhwc), engine, output);
        result->reorderSrc = pd.src_desc() != result->nhwcSrc.get_desc();
        result->reorderDst = pd.dst_desc() != result->nhwcDst.get_desc();
        result->src = result->reorderSrc ? memory(pd.src_desc(), engine) : result->nhwcSrc;
        result->dst = result->reorderDst ? memory(pd.dst_desc(), engine) : result->nhwcDst;
        if (result->reorderSrc) result->toBlocked = dnnl::reorder(result->nhwcSrc, result->src);
        if (result->reorderDst) result->toNhwc = dnnl::reorder(result->dst, result->nhwcDst);
        stream.wait();
    } catch (const dnnl::error&) {
        return nullptr;
    }
    return result;
}

double elapsedMs(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

struct Totals {
    Timing direct, ours, wino, winoReordered, automatic;
    bool winoEverywhere = true;
    bool winoLowerBound = false;  // some layers timed without their activation
};

void add(Timing& total, const Timing& t) {
    total.min += t.min;
    total.median += t.median;
}

void measureLayer(const Layer& l, int frames, const dnnl::engine& engine, std::mt19937& random,
                  Totals& totals, double& worstDifference) {
    const ConvSpec params = makeSpec(l, random);
    const int64_t pixels = l.height * l.width;
    std::vector<float> input(static_cast<size_t>(pixels * l.inC));
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (float& v : input) v = value(random);
    std::vector<float> directOut(static_cast<size_t>(pixels * l.outC));
    std::vector<float> oursOut(directOut.size()), winoOut(directOut.size()),
        autoOut(directOut.size());

    dnnl::stream stream(engine);
    FastConv direct(params, engine);
    WinogradConv ours(params);
    std::unique_ptr<OnednnConv> wino =
        makeOnednnConv(params, dnnl::algorithm::convolution_winograd, memory::format_tag::any,
                       engine, input.data(), winoOut.data());
    // oneDNN 2.6's Winograd takes only some activations as post-ops: for the others it is timed
    // without its activation (a lower bound, marked *).
    if (!wino) {
        wino = makeOnednnConv(params, dnnl::algorithm::convolution_winograd,
                              memory::format_tag::any, engine, input.data(), winoOut.data(), false);
        if (wino) {
            wino->activationDropped = true;
            totals.winoLowerBound = true;
        }
    }
    std::unique_ptr<OnednnConv> automatic =
        makeOnednnConv(params, dnnl::algorithm::convolution_auto, memory::format_tag::nhwc, engine,
                       input.data(), autoOut.data());

    auto runDirect = [&] {
        direct.run(input.data(), nullptr, directOut.data(), stream);
        stream.wait();
    };
    auto runOurs = [&] { ours.run({input.data(), l.inC, 0}, {oursOut.data(), l.outC, 0}); };
    std::vector<double> directMs, oursMs, winoMs, winoReorderedMs, autoMs;
    for (int k = 0; k < kWarmUp + frames; ++k) {
        const double d = elapsedMs(runDirect);
        const double o = elapsedMs(runOurs);
        const double w = wino ? elapsedMs([&] { wino->runConv(stream); }) : 0.0;
        const double wr = wino ? elapsedMs([&] { wino->runWithReorders(stream); }) : 0.0;
        const double a = automatic ? elapsedMs([&] { automatic->runConv(stream); }) : 0.0;
        if (k < kWarmUp) continue;
        directMs.push_back(d);
        oursMs.push_back(o);
        winoMs.push_back(w);
        winoReorderedMs.push_back(wr);
        autoMs.push_back(a);
    }
    // Accuracy against the direct convolution, relative to the largest output magnitude.
    float largest = 0.0f, difference = 0.0f;
    for (size_t k = 0; k < directOut.size(); ++k) {
        largest = std::max(largest, std::fabs(directOut[k]));
        difference = std::max(difference, std::fabs(directOut[k] - oursOut[k]));
    }
    const double relative = difference / std::max(largest, 1e-30f);
    worstDifference = std::max(worstDifference, relative);

    const Timing d = summarise(directMs), o = summarise(oursMs), w = summarise(winoMs),
                 wr = summarise(winoReorderedMs), a = summarise(autoMs);
    add(totals.direct, d);
    add(totals.ours, o);
    add(totals.automatic, a);
    if (wino) {
        add(totals.wino, w);
        add(totals.winoReordered, wr);
    } else {
        totals.winoEverywhere = false;
    }
    char shape[64];
    std::snprintf(shape, sizeof shape, "%lldx%lld %lld->%lld %s", static_cast<long long>(l.height),
                  static_cast<long long>(l.width), static_cast<long long>(l.inC),
                  static_cast<long long>(l.outC), activationName(l.activation));
    char winoText[64] = "                 n/a ";
    if (wino)
        std::snprintf(winoText, sizeof winoText, "%6.2f %6.2f %5.2fx%s", w.median, wr.median,
                      wr.median / d.median, wino->activationDropped ? "*" : " ");
    std::printf("  %-26s %6.2f %6.2f | %6.2f %6.2f %5.2fx | %s | %6.2f %5.2fx | %.1e\n", shape,
                d.min, d.median, o.min, o.median, o.median / d.median, winoText, a.median,
                a.median / d.median, relative);
}

}  // namespace

int main(int argc, char** argv) {
    figsplit::chooseOpenMpWaiting(argv);
    int frames = 15;
    std::vector<int> threadCounts = {1, 2};
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--frames" && k + 1 < argc) {
            frames = std::max(5, std::atoi(argv[++k]));
        } else if (a == "--threads" && k + 1 < argc) {
            std::istringstream in(argv[++k]);
            threadCounts.clear();
            for (int n; in >> n;) threadCounts.push_back(std::max(1, n));
        } else {
            std::fprintf(stderr, "usage: winograd_bench [--frames N] [--threads \"1 2\"]\n");
            return 1;
        }
    }
    std::printf("our kernel: %s\n", winogradIsaName(bestWinogradIsa()));
    bool printedImplementations = false;
    for (const int threads : threadCounts) {
        // Thread count first: oneDNN sizes its primitives for the pool it sees when creating them.
        omp_set_num_threads(threads);
        dnnl::engine engine(dnnl::engine::kind::cpu, 0);
        if (!printedImplementations) {
            // What oneDNN picks for the largest layer, as a sample of its instruction set.
            std::mt19937 random(1);
            const ConvSpec params = makeSpec({288, 512, 35, 16, Activation::relu}, random);
            std::vector<float> in(static_cast<size_t>(288 * 512 * 35)), out(288 * 512 * 16);
            const FastConv direct(params, engine);
            const auto wino =
                makeOnednnConv(params, dnnl::algorithm::convolution_winograd,
                               memory::format_tag::any, engine, in.data(), out.data());
            const auto automatic =
                makeOnednnConv(params, dnnl::algorithm::convolution_auto, memory::format_tag::nhwc,
                               engine, in.data(), out.data());
            std::printf("oneDNN %s: direct %s, winograd %s, auto %s\n",
                        std::to_string(dnnl::version()->major)
                            .append(".")
                            .append(std::to_string(dnnl::version()->minor))
                            .c_str(),
                        direct.implementation().c_str(), wino ? wino->impl.c_str() : "n/a",
                        automatic ? automatic->impl.c_str() : "n/a");
            printedImplementations = true;
        }
        for (const NetworkSize& network : rvmLayers()) {
            std::printf(
                "\nrvm 960x540, network long side %d, threads %d, %d frames (ms; ratio = median "
                "/ direct median)\n",
                network.side, threads, frames);
            std::printf("  %-26s %13s | %20s | %26s | %13s | %s\n", "layer", "direct min med",
                        "winograd min med ratio", "oneDNN wino, +reorders, ratio", "auto med ratio",
                        "max diff");
            Totals totals;
            double worst = 0.0;
            std::mt19937 random(20240611);
            for (const Layer& l : network.layers)
                measureLayer(l, frames, engine, random, totals, worst);
            std::printf("  %-26s %6.2f %6.2f | %6.2f %6.2f %5.2fx | ", "total", totals.direct.min,
                        totals.direct.median, totals.ours.min, totals.ours.median,
                        totals.ours.median / totals.direct.median);
            if (totals.winoEverywhere)
                std::printf("%6.2f %6.2f %5.2fx%s", totals.wino.median, totals.winoReordered.median,
                            totals.winoReordered.median / totals.direct.median,
                            totals.winoLowerBound ? "*" : " ");
            else
                std::printf("%21s", "n/a on some layers");
            std::printf(" | %6.2f %5.2fx | %.1e\n", totals.automatic.median,
                        totals.automatic.median / totals.direct.median, worst);
            std::printf("rvm side %d threads %d: winograd / direct total median %.3f (min %.3f)\n",
                        network.side, threads, totals.ours.median / totals.direct.median,
                        totals.ours.min / totals.direct.min);
        }
    }
    return 0;
}
