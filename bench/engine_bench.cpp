// The graph engine on the two segmentation models: rvm at 960x540 with downsample ratio 0.4 and
// selfie at 256x256, on 1 and 2 threads. Per configuration: min / median / max ms per frame over
// the timed frames (after a warm-up), frames per second, and the time per operator type from a
// separate profiled run. rvm's peak memory is measured in a child process that does nothing else.
//
// The baseline, run in the same invocation, is the reference implementation of the models
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
#include "platform/segmentation/embedded_models.h"
#include "platform/segmentation/rvm_model.h"
#include "platform/segmentation/selfie_model.h"

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
    float ratio;
};

const Config kConfigs[] = {{ModelKind::rvm, "rvm", 540, 960, 0.4f},
                           {ModelKind::selfie, "selfie", 256, 256, 1.0f}};

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
        return network.rvm->run(input.data(), c.height, c.width, c.ratio, state, out, nullptr,
                                error);
    return network.selfie->run(input.data(), out, error);
}

// Times one configuration on the current thread count; fills `timing` and prints the breakdown.
bool measure(const Config& c, int frames, Timing& timing) {
    std::string error;
    const std::vector<float> input = makeInput(c.height, c.width);
    Network model;
    if (!model.load(c.kind, error)) {
        std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
        return false;
    }
    RvmState state;
    Tensor out;
    for (int k = 0; k < kWarmUp; ++k)
        if (!runOnce(model, c, input, state, out, error)) {
            std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
            return false;
        }
    std::vector<double> ms;
    for (int k = 0; k < frames; ++k) {
        const auto start = std::chrono::steady_clock::now();
        runOnce(model, c, input, state, out, error);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    timing = summarise(ms);
    // Breakdown from a profiled model (waits after every operator, so it runs a little slower).
    EngineOptions profiled;
    profiled.profile = true;
    Network probe;
    if (!probe.load(c.kind, error, profiled)) {
        std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
        return false;
    }
    RvmState probeState;
    for (int k = 0; k < kWarmUp; ++k) runOnce(probe, c, input, probeState, out, error);
    probe.model().resetProfile();
    const int profiledFrames = std::max(5, frames / 4);
    for (int k = 0; k < profiledFrames; ++k) runOnce(probe, c, input, probeState, out, error);
    std::vector<OpTime> ops = probe.model().profile();
    std::sort(ops.begin(), ops.end(),
              [](const OpTime& a, const OpTime& b) { return a.milliseconds > b.milliseconds; });
    double total = 0;
    for (const OpTime& t : ops) total += t.milliseconds;
    std::printf("  by operator (profiled, %.1f ms per frame):\n", total / profiledFrames);
    for (const OpTime& t : ops) {
        if (t.calls == 0) continue;
        std::printf("    %-34s %4lld per frame %8.2f ms %5.1f %%\n", t.op.c_str(),
                    static_cast<long long>(t.calls / profiledFrames),
                    t.milliseconds / profiledFrames, 100.0 * t.milliseconds / total);
    }
    std::printf("  tensor arena %.1f MB\n",
                static_cast<double>(model.model().workingBytes()) / (1 << 20));
    return true;
}

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Child mode: load rvm, run a few frames at 960x540, print the peak resident size.
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
        if (!model->run(input.data(), c.height, c.width, c.ratio, state, pha, nullptr, error))
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
                "rvm 960x540 ratio 0.4: peak resident %.1f MB (%.1f MB before loading the model)\n",
                peak / 1024.0, before / 1024.0);
        pclose(pipe);
    }

    struct Result {
        std::string model;
        int threads;
        Timing timing;
    };
    std::vector<Result> results;
    for (int n : threadCounts) {
        setThreadCount(n);
        for (const Config& c : kConfigs) {
            std::printf("engine %s %lldx%lld ratio %s threads %d\n", c.name,
                        static_cast<long long>(c.height), static_cast<long long>(c.width),
                        c.kind == ModelKind::rvm ? "0.4" : "-", n);
            Timing t;
            if (!measure(c, frames, t)) return 1;
            std::printf("  %d frames: min %.1f median %.1f max %.1f ms, %.1f fps\n", frames, t.min,
                        t.median, t.max, 1000.0 / t.median);
            std::fflush(stdout);
            results.push_back({c.name, n, t});
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
