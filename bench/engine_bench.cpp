// The graph engine on the segmentation models: rvm at 960x540 with the network's long side at 512
// and at 320 (the two quality levels of video mode), and selfie at 256x256, on 1 and 2 threads.
//
// Each configuration runs two plans side by side, frame about frame: stride-1 3x3 convolutions on
// our Winograd kernel (the engine's default) and on oneDNN's direct convolution (the older path).
// Alternating frames exposes both to the same load from other processes; the ratio of their
// medians is the figure to read. Per plan: min / median / max ms per frame over the timed frames
// (after a warm-up), frames per second, and the time per operator type from a separate profiled
// run. rvm's peak memory is measured in a child process that does nothing else.
//
// A second baseline, run in the same invocation, is the reference implementation of the models
// (TensorFlow.js, WASM backend) timed by bench/engine_baseline.sh; each line of the form
//   tfjs <model> <H>x<W> ratio <r|-> threads <n> median_ms <ms> min_ms <ms>
// that the baseline command prints is matched to the engine's configuration and the speed-up
// printed. Options:
//   --frames N          timed frames per configuration (default 30, at least 20)
//   --threads "1 2"     thread counts
//   --baseline-cmd CMD  the baseline command (default: bench/engine_baseline.sh of the source tree)
//   --no-baseline       engine figures only
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/engine/engine.h"
#include "platform/engine/wait_policy.h"
#include "platform/segmentation/embedded_models.h"
#include "platform/segmentation/rvm_model.h"
#include "platform/segmentation/selfie_model.h"
#include "platform/segmentation/working_size.h"

namespace {

using namespace figsplit::engine;
using figsplit::ModelKind;
using figsplit::RvmModel;
using figsplit::RvmState;
using figsplit::SelfieModel;

constexpr int kWarmUp = 3;

struct Config {
    ModelKind kind;
    const char* name;
    int64_t height, width;
    int64_t networkSide;  // rvm: the downsampled long side (0: selfie)
    float ratio() const {
        return kind == ModelKind::rvm ? figsplit::rvmDownsampleRatio(width, networkSide) : 1.0f;
    }
};

const Config kConfigs[] = {{ModelKind::rvm, "rvm", 540, 960, 512},
                           {ModelKind::rvm, "rvm", 540, 960, 320},
                           {ModelKind::selfie, "selfie", 256, 256, 0}};

// A picture-like input: smooth gradients with a bright blob and a little deterministic noise.
std::vector<float> makeInput(int64_t height, int64_t width) {
    std::vector<float> rgb(static_cast<size_t>(height * width * 3));
    uint32_t seed = 12345;
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x) {
            const double dx = (x - width * 0.45) / (width * 0.15),
                         dy = (y - height * 0.5) / (height * 0.35);
            const double blob = std::exp(-(dx * dx + dy * dy));
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const double noise = ((seed >> 8) & 0xFF) / 255.0 * 0.05;
                const double v = 0.25 + 0.4 * blob +
                                 0.2 * (c == 0 ? double(x) / width : double(y) / height) + noise;
                rgb[(y * width + x) * 3 + c] = static_cast<float>(std::min(v, 1.0));
            }
        }
    return rgb;
}

struct Timing {
    double min = 0, median = 0, max = 0;
};

Timing summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    return {ms.front(), n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2, ms.back()};
}

// One of the two models with its run helper.
struct Network {
    std::unique_ptr<RvmModel> rvm;
    std::unique_ptr<SelfieModel> selfie;

    bool load(ModelKind kind, std::string& error, EngineOptions options = {}) {
        if (kind == ModelKind::rvm) {
            rvm = RvmModel::load(error, options);
            return rvm != nullptr;
        }
        selfie = SelfieModel::load(error, options);
        return selfie != nullptr;
    }
    Model& model() { return rvm ? rvm->model() : selfie->model(); }
};

bool runOnce(Network& network, const Config& c, const std::vector<float>& input, RvmState& state,
             Tensor& out, std::string& error) {
    if (c.kind == ModelKind::rvm)
        return network.rvm->run(input.data(), c.height, c.width, c.ratio(), state, out, nullptr,
                                error);
    return network.selfie->run(input.data(), out, error);
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Prints the time per operator type of one plan, from a profiled model (it waits after every
// operator, so it runs a little slower than the timed one).
bool printBreakdown(const Config& c, const EngineOptions& options, int frames,
                    const std::vector<float>& input) {
    std::string error;
    EngineOptions profiled = options;
    profiled.profile = true;
    Network probe;
    if (!probe.load(c.kind, error, profiled)) {
        std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
        return false;
    }
    RvmState state;
    Tensor out;
    for (int k = 0; k < kWarmUp; ++k) runOnce(probe, c, input, state, out, error);
    probe.model().resetProfile();
    const int profiledFrames = std::max(5, frames / 4);
    for (int k = 0; k < profiledFrames; ++k) runOnce(probe, c, input, state, out, error);
    std::vector<OpTime> ops = probe.model().profile();
    std::sort(ops.begin(), ops.end(),
              [](const OpTime& a, const OpTime& b) { return a.milliseconds > b.milliseconds; });
    double total = 0;
    for (const OpTime& t : ops) total += t.milliseconds;
    std::printf("    by operator (profiled, %.1f ms per frame):\n", total / profiledFrames);
    for (const OpTime& t : ops) {
        if (t.calls == 0) continue;
        std::printf("      %-34s %4lld per frame %8.2f ms %5.1f %%\n", t.op.c_str(),
                    static_cast<long long>(t.calls / profiledFrames),
                    t.milliseconds / profiledFrames, 100.0 * t.milliseconds / total);
    }
    std::printf("    tensor arena %.1f MB\n",
                static_cast<double>(probe.model().workingBytes()) / (1 << 20));
    return true;
}

// The two plans of a configuration: 3x3 convolutions on Winograd, and on oneDNN's direct kernel.
struct Variant {
    const char* name;
    bool winograd;
};
constexpr Variant kVariants[] = {{"winograd", true}, {"direct", false}};

// Times both plans of one configuration on the current thread count, frame about frame; fills
// `timing` (one per variant) and prints each plan's breakdown.
bool measure(const Config& c, int frames, Timing (&timing)[2]) {
    std::string error;
    const std::vector<float> input = makeInput(c.height, c.width);
    Network models[2];
    RvmState states[2];
    Tensor out;
    std::vector<double> ms[2];
    for (int v = 0; v < 2; ++v) {
        if (!models[v].load(c.kind, error, EngineOptions{.winograd = kVariants[v].winograd})) {
            std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
            return false;
        }
        for (int k = 0; k < kWarmUp; ++k)
            if (!runOnce(models[v], c, input, states[v], out, error)) {
                std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
                return false;
            }
    }
    for (int k = 0; k < frames; ++k)
        for (int step = 0; step < 2; ++step) {
            const int v = (k + step) % 2;  // who goes first alternates too
            const auto start = std::chrono::steady_clock::now();
            runOnce(models[v], c, input, states[v], out, error);
            ms[v].push_back(millisecondsSince(start));
        }
    for (int v = 0; v < 2; ++v) {
        timing[v] = summarise(ms[v]);
        std::printf("  %-8s %d frames: min %.1f median %.1f max %.1f ms, %.1f fps\n",
                    kVariants[v].name, frames, timing[v].min, timing[v].median, timing[v].max,
                    1000.0 / timing[v].median);
    }
    // Per-frame ratios, paired (each pair ran back to back under the same load).
    std::vector<double> ratios;
    for (int k = 0; k < frames; ++k) ratios.push_back(ms[0][k] / ms[1][k]);
    const Timing r = summarise(ratios);
    std::printf("  winograd / direct: medians %.3f, mins %.3f, per-frame pairs median %.3f\n",
                timing[0].median / timing[1].median, timing[0].min / timing[1].min, r.median);
    std::fflush(stdout);
    for (int v = 0; v < 2; ++v) {
        std::printf("  %s plan\n", kVariants[v].name);
        if (!printBreakdown(c, EngineOptions{.winograd = kVariants[v].winograd}, frames, input))
            return false;
    }
    return true;
}

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Child mode: load rvm, run a few frames at 960x540 (network side 512), print the peak resident
// size.
int memoryChild() {
    const long before = peakKilobytes();
    std::string error;
    const Config& c = kConfigs[0];
    const std::vector<float> input = makeInput(c.height, c.width);
    std::unique_ptr<RvmModel> model = RvmModel::load(error);
    if (!model) return 1;
    RvmState state;
    Tensor pha;
    for (int k = 0; k < 5; ++k)
        if (!model->run(input.data(), c.height, c.width, c.ratio(), state, pha, nullptr, error))
            return 1;
    std::printf("%ld %ld\n", before, peakKilobytes());
    return 0;
}

struct Baseline {
    std::string model;
    int threads = 0;
    double median = 0, min = 0;
};

std::vector<Baseline> runBaseline(const std::string& command) {
    std::vector<Baseline> lines;
    std::printf("baseline: %s\n", command.c_str());
    std::fflush(stdout);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::fputs(buffer, stdout);
        std::istringstream in(buffer);
        std::string tag, size, ratioWord, ratio, threadsWord, medianWord, minWord;
        Baseline b;
        if (in >> tag >> b.model >> size >> ratioWord >> ratio >> threadsWord >> b.threads >>
                medianWord >> b.median >> minWord >> b.min &&
            tag == "tfjs")
            lines.push_back(b);
    }
    pclose(pipe);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    // Idle workers wait as they do in figsplit itself.
    figsplit::chooseOpenMpWaiting(argv);
    int frames = 30;
    std::vector<int> threadCounts = {1, 2};
    std::string baselineCommand = std::string(FIGSPLIT_SOURCE_DIR) + "/bench/engine_baseline.sh";
    bool baseline = true;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--memory-child") return memoryChild();
        if (a == "--frames" && k + 1 < argc) {
            frames = std::max(20, std::atoi(argv[++k]));
        } else if (a == "--threads" && k + 1 < argc) {
            threadCounts.clear();
            std::istringstream in(argv[++k]);
            for (int n; in >> n;) threadCounts.push_back(n);
        } else if (a == "--baseline-cmd" && k + 1 < argc) {
            baselineCommand = argv[++k];
        } else if (a == "--no-baseline") {
            baseline = false;
        } else {
            std::fprintf(stderr,
                         "usage: engine_bench [--frames N] [--threads \"1 2\"] [--baseline-cmd "
                         "CMD] [--no-baseline]\n");
            return 2;
        }
    }

    // Peak memory first, in a process of its own.
    const std::string child = std::string(argv[0]) + " --memory-child";
    if (FILE* pipe = popen(child.c_str(), "r")) {
        long before = 0, peak = 0;
        if (std::fscanf(pipe, "%ld %ld", &before, &peak) == 2)
            std::printf(
                "rvm 960x540 network side 512: peak resident %.1f MB (%.1f MB before loading the "
                "model)\n",
                peak / 1024.0, before / 1024.0);
        pclose(pipe);
    }

    struct Result {
        std::string model;
        int threads;
        Timing timing;  // the default (Winograd) plan
    };
    std::vector<Result> results;
    for (int n : threadCounts) {
        setThreadCount(n);
        for (const Config& c : kConfigs) {
            if (c.kind == ModelKind::rvm)
                std::printf("engine rvm %lldx%lld network side %lld (ratio %.6f) threads %d\n",
                            static_cast<long long>(c.height), static_cast<long long>(c.width),
                            static_cast<long long>(c.networkSide), c.ratio(), n);
            else
                std::printf("engine %s %lldx%lld threads %d\n", c.name,
                            static_cast<long long>(c.height), static_cast<long long>(c.width), n);
            Timing t[2];
            if (!measure(c, frames, t)) return 1;
            // The TF.js baseline measures rvm at one ratio only: the larger network side.
            if (c.kind != ModelKind::rvm || c.networkSide == 512)
                results.push_back({c.name, n, t[0]});
        }
    }
    if (!baseline) return 0;
    const std::vector<Baseline> lines = runBaseline(baselineCommand);
    if (lines.empty()) {
        std::printf("no baseline figures: speed-ups not computed\n");
        return 0;
    }
    std::printf("speed-up over the baseline (its time / the engine's):\n");
    for (const Result& r : results)
        for (const Baseline& b : lines)
            if (b.model == r.model && b.threads == r.threads)
                std::printf(
                    "  %-6s threads %d: median %.1f vs %.1f ms = %.1fx, min %.1f vs %.1f ms = "
                    "%.1fx\n",
                    r.model.c_str(), r.threads, r.timing.median, b.median,
                    b.median / r.timing.median, r.timing.min, b.min, b.min / r.timing.min);
    return 0;
}
