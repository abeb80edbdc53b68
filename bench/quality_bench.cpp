// Matte quality of video mode on synthetic clips whose ground truth is exact.
//
// figsplit's image mode cuts the person out of a photo (opencv-doc's messi5.jpg). That cut-out,
// its alpha untouched, moves across a real picture without people (opencv-doc's building.jpg,
// panned slowly) while it grows and shrinks by 10 % every 4 s, once large (about 75 % of the frame
// height) and once small (about 13.5 %). One ffmpeg filter graph renders, for each size, the
// composite as ordinary 1920x1080 30 fps H.264 (yuv420p) and the alpha alone over black as
// lossless grey ffv1. Whatever the model got right or wrong on the photo, that alpha is exactly
// where the person is in the composite.
//
// Video mode (runVideo with the real services) then runs on each composite at each quality, with
// the default smoothing and with none. Mattes and truth are compared at 960x540, 8-bit grey: the
// mean over frames of |matte >= 128 and truth >= 128| / |matte >= 128 or truth >= 128|, frames
// where both are empty skipped. The baseline is the same run with a segmenter that hands back
// the truth itself: its IoU is the most that scaling, smoothing and H.264 let through, its
// frames per second the speed of everything but the model. Every run happens in its own child
// process; the frames per second count from fork to exit, model loading included.
//
// Usage: quality_bench [seconds]   (clip length per size, 1 to 6, default 4)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/engine/wait_policy.h"
#include "video/video_run.h"

namespace {

using namespace figsplit;
using Clock = std::chrono::steady_clock;

const char* const kPhoto = "/usr/share/doc/opencv-doc/examples/data/messi5.jpg";
const char* const kBackground = "/usr/share/doc/opencv-doc/examples/data/building.jpg";
const char* const kFigsplit = FIGSPLIT_BINARY;
constexpr int kFps = 30;
constexpr int64_t kMatteW = 960;  // the matte of a 1920x1080 source at the default long side
constexpr int64_t kMatteH = 540;
constexpr size_t kMatteBytes = static_cast<size_t>(kMatteW * kMatteH);
constexpr uint8_t kThreshold = 128;

struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw BenchError("failed: " + command);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The standard output of a command, read in fixed-size blocks. Closed (and waited for) on
// destruction; finish() reports whether the command succeeded.
class CommandOutput {
  public:
    explicit CommandOutput(const std::string& command)
        : command_(command), pipe_(::popen(command.c_str(), "r")) {
        if (!pipe_) throw BenchError("cannot start: " + command);
    }

    // Fills all of `bytes`; false at the end of the output.
    bool read(std::vector<uint8_t>& bytes) {
        const size_t n = std::fread(bytes.data(), 1, bytes.size(), pipe_.get());
        if (n == bytes.size()) return true;
        if (n != 0) throw BenchError("output ends inside a frame: " + command_);
        return false;
    }

    void finish() {
        if (::pclose(pipe_.release()) != 0) throw BenchError("failed: " + command_);
    }

  private:
    struct Closer {
        void operator()(FILE* pipe) const { ::pclose(pipe); }
    };
    std::string command_;
    std::unique_ptr<FILE, Closer> pipe_;
};

// The bench's scratch directory, removed with everything in it when the bench ends.
struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/figsplit-quality-bench-XXXXXX";
        if (!::mkdtemp(pattern)) throw BenchError("cannot make a temporary directory");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

struct ChildRun {
    bool ok = false;
    double wallSeconds = 0;  // fork to exit, measured by the parent
};

// Runs `body` in a child process with standard error silenced (the run's own lines).
ChildRun inChild(const std::function<bool()>& body) {
    std::fflush(stdout);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) throw BenchError("fork failed");
    if (pid == 0) {
        if (FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 2);
        bool ok = false;
        try {
            ok = body();
        } catch (...) {
            ok = false;
        }
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ChildRun{WIFEXITED(status) && WEXITSTATUS(status) == 0, secondsSince(start)};
}

// Width and height from a PNG's header.
ImageSize pngSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::array<unsigned char, 24> head{};
    if (!file.read(reinterpret_cast<char*>(head.data()), head.size()) ||
        std::memcmp(head.data() + 12, "IHDR", 4) != 0) {
        throw BenchError(path + " is not a PNG");
    }
    const auto bigEndian = [&head](size_t at) {
        return (int64_t{head[at]} << 24) | (int64_t{head[at + 1]} << 16) |
               (int64_t{head[at + 2]} << 8) | int64_t{head[at + 3]};
    };
    return ImageSize{bigEndian(16), bigEndian(20)};
}

// Half-open pixel rectangle.
struct Box {
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int64_t width() const { return x1 - x0; }
    int64_t height() const { return y1 - y0; }
};

// Where the cut-out's alpha is at least the threshold.
Box personBox(const std::string& cutOut) {
    const ImageSize size = pngSize(cutOut);
    std::vector<uint8_t> alpha(static_cast<size_t>(size.width * size.height));
    CommandOutput decode("ffmpeg -nostdin -v error -i '" + cutOut +
                         "' -vf alphaextract -f rawvideo -pix_fmt gray -");
    if (!decode.read(alpha)) throw BenchError("cannot read the alpha of " + cutOut);
    decode.finish();
    Box box{size.width, size.height, 0, 0};
    for (int64_t y = 0; y < size.height; ++y) {
        for (int64_t x = 0; x < size.width; ++x) {
            if (alpha[static_cast<size_t>(y * size.width + x)] < kThreshold) continue;
            box = Box{std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1),
                      std::max(box.y1, y + 1)};
        }
    }
    if (box.x1 <= box.x0) throw BenchError("figsplit found no person in " + std::string(kPhoto));
    return box;
}

int64_t even(double x) {
    return std::max<int64_t>(2, 2 * std::llround(x / 2));
}

// One synthetic clip: the person's height as a fraction of the frame's, and the overlay's
// position as ffmpeg expressions over W, H (frame), w, h (the person's canvas) and t. The speeds
// are fixed, so that the clip's length changes how far the person goes, not how fast.
struct ClipPlan {
    const char* name;
    double personHeight;
    const char* x;
    const char* y;
};

constexpr ClipPlan kPlans[] = {
    // Walks in from the left edge at 250 px/s, bobbing.
    {"large", 0.75, "-0.15*w+250*t", "(H-h)/2+0.02*H*sin(2*PI*t/1.5)"},
    // A distant runner: 380 px/s across and drawing away up the picture.
    {"small", 0.135, "0.05*W+380*t", "0.62*H-25*t+0.01*H*sin(2*PI*t/0.8)"},
};

// Renders the composite (H.264) and its truth (grey ffv1) for one plan.
void makeClip(const ClipPlan& plan, const std::string& cutOut, const Box& person, int seconds,
              const std::string& dir, const std::string& composite, const std::string& truth) {
    const ImageSize photo = pngSize(cutOut);
    // The person with a 5 % margin, then a transparent border of 5 % a side for the zoom to eat
    // into: at zoom 1 the person is `scale` times its size in the photo, at zoom 1.1 it is 10 %
    // larger and still whole. The person's height equals the plan's at zoom 1.05.
    const auto marginX = std::max<int64_t>(2, person.width() / 20);
    const auto marginY = std::max<int64_t>(2, person.height() / 20);
    const Box crop{
        std::max<int64_t>(0, person.x0 - marginX), std::max<int64_t>(0, person.y0 - marginY),
        std::min(photo.width, person.x1 + marginX), std::min(photo.height, person.y1 + marginY)};
    const int64_t padW = even(static_cast<double>(crop.width()) * 1.1);
    const int64_t padH = even(static_cast<double>(crop.height()) * 1.1);
    const double scale = plan.personHeight * 1080.0 / (static_cast<double>(person.height()) * 1.05);
    const int64_t canvasW = even(static_cast<double>(padW) * scale);
    const int64_t canvasH = even(static_cast<double>(padH) * scale);
    const auto n = [](auto value) { return std::to_string(value); };
    const std::string x = plan.x;
    const std::string y = plan.y;

    // Both overlays blend in RGB with the same position expressions on the same time line, so
    // the truth's alpha lands on exactly the composite's pixels.
    const std::string graph =
        "[0:v]format=rgba,crop=" + n(crop.width()) + ":" + n(crop.height()) + ":" + n(crop.x0) +
        ":" + n(crop.y0) + ",pad=" + n(padW) + ":" + n(padH) +
        ":(ow-iw)/2:(oh-ih)/2:color=black@0,zoompan=z='1+0.05*(1-cos(2*PI*on/" + n(4 * kFps) +
        "))':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=1:fps=" + n(kFps) + ":s=" + n(canvasW) + "x" +
        n(canvasH) +
        ",split[person][alpha];\n"
        "[1:v]scale=2304:-2,crop=1920:1080:'min(in_w-out_w,40*t)':'min(in_h-out_h,150+20*t)',"
        "format=rgba[background];\n"
        "[background][person]overlay=x='" +
        x + "':y='" + y +
        "':format=rgb,format=yuv420p[composite];\n"
        "color=black:s=1920x1080:r=" +
        n(kFps) +
        ",format=rgba[black];\n"
        "[alpha]alphaextract[mask];\n"
        "[black][mask]overlay=x='" +
        x + "':y='" + y + "':format=rgb:shortest=1,format=gray[truth]\n";
    const std::string script = dir + "/" + plan.name + ".graph";
    std::ofstream(script) << graph;
    shell("ffmpeg -nostdin -y -v error -loop 1 -framerate " + n(kFps) + " -i '" + cutOut +
          "' -loop 1 -framerate " + n(kFps) + " -i '" + kBackground + "' -filter_complex_script '" +
          script + "' -map '[composite]' -t " + n(seconds) +
          " -c:v libx264 -preset fast -pix_fmt yuv420p '" + composite + "' -map '[truth]' -t " +
          n(seconds) + " -c:v ffv1 '" + truth + "'");
}

// The command that decodes a movie for scoring: 960x540, 8-bit grey, raw frames to
// `destination` ("-" for standard output).
std::string toMatteGrey(const std::string& movie, const std::string& destination) {
    return "ffmpeg -nostdin -y -v error -i '" + movie + "' -vf scale=" + std::to_string(kMatteW) +
           ":" + std::to_string(kMatteH) + ":flags=area,format=gray -f rawvideo -pix_fmt gray '" +
           destination + "'";
}

// Hands back the truth as its matte, frame after frame: the run without a model. It asks for a
// small picture, so that its speed is that of decoding, scaling and smoothing the matte and
// encoding, with as little as possible of the conversion to a model's input size.
class TruthSegmenter : public Segmenter {
  public:
    explicit TruthSegmenter(const std::string& rawTruth) : file_(rawTruth, std::ios::binary) {}
    ImageSize inputSize(int64_t, int64_t) const override { return {64, 36}; }
    bool perform(const RgbImage&, GreyImage& matte, std::string& error) override {
        matte.width = kMatteW;
        matte.height = kMatteH;
        matte.stride = kMatteW;
        matte.bytes.resize(kMatteBytes);  // the run's matte is reused: sized at the first frame
        if (!file_.read(reinterpret_cast<char*>(matte.bytes.data()), kMatteBytes)) {
            error = "no truth left";
            return false;
        }
        return true;
    }

  private:
    std::ifstream file_;
};

struct Score {
    double meanIou = 0;
    int64_t frames = 0;  // frames in the matte movie
    int64_t scored = 0;  // frames where the matte or the truth holds a person
};

Score score(const std::string& matteMovie, const std::string& rawTruth) {
    CommandOutput matte(toMatteGrey(matteMovie, "-"));
    std::ifstream truth(rawTruth, std::ios::binary);
    std::vector<uint8_t> matteFrame(kMatteBytes);
    std::vector<uint8_t> truthFrame(kMatteBytes);
    Score result;
    double sum = 0;
    while (matte.read(matteFrame)) {
        if (!truth.read(reinterpret_cast<char*>(truthFrame.data()), kMatteBytes)) {
            throw BenchError("the matte movie has more frames than the truth");
        }
        ++result.frames;
        int64_t both = 0;
        int64_t either = 0;
        for (size_t i = 0; i < kMatteBytes; ++i) {
            const bool inMatte = matteFrame[i] >= kThreshold;
            const bool inTruth = truthFrame[i] >= kThreshold;
            both += inMatte && inTruth;
            either += inMatte || inTruth;
        }
        if (either == 0) continue;
        sum += static_cast<double>(both) / static_cast<double>(either);
        ++result.scored;
    }
    matte.finish();
    if (truth.peek() != std::ifstream::traits_type::eof()) {
        throw BenchError("the matte movie has fewer frames than the truth");
    }
    result.meanIou = result.scored > 0 ? sum / static_cast<double>(result.scored) : 0;
    return result;
}

// One video-mode run; a null quality stands for the truth segmenter.
struct RunPlan {
    const char* label;
    std::optional<Quality> quality;
};

constexpr RunPlan kRuns[] = {
    {"truth", std::nullopt},
    {"accurate", Quality::accurate},
    {"balanced", Quality::balanced},
};

bool runVideoMode(const RunPlan& run, int64_t smoothRadius, const std::string& clip,
                  const std::string& rawTruth, const std::string& output) {
    Settings settings;
    settings.smoothRadius = smoothRadius;
    VideoServices services = realVideoServices();
    if (run.quality) {
        settings.quality = *run.quality;
    } else {
        services.makeSegmenter = [rawTruth](Quality, bool) {
            return SegmenterResult{std::make_unique<TruthSegmenter>(rawTruth), {}};
        };
    }
    return runVideo(settings, clip, output, std::move(services)) == 0;
}

int bench(int seconds) {
    for (const char* needed : {kPhoto, kBackground}) {
        if (!std::filesystem::exists(needed)) {
            throw BenchError(std::string("needs ") + needed + " (the opencv-doc package)");
        }
    }
    if (!std::filesystem::exists(kFigsplit)) throw BenchError(std::string("needs ") + kFigsplit);
    const auto start = Clock::now();
    const TempDir dir;

    std::printf("making the clips...\n");
    std::fflush(stdout);
    const std::string cutOut = dir.path + "/person.png";
    shell(std::string(kFigsplit) + " '" + kPhoto + "' '" + cutOut + "' 2>/dev/null");
    const Box person = personBox(cutOut);
    for (const ClipPlan& plan : kPlans) {
        const std::string base = dir.path + "/" + plan.name;
        makeClip(plan, cutOut, person, seconds, dir.path, base + ".mp4", base + "-truth.mkv");
        shell(toMatteGrey(base + "-truth.mkv", base + "-truth.gray"));
    }
    const double clipSeconds = secondsSince(start);

    const int64_t defaultSmoothing = Settings{}.smoothRadius;
    std::printf(
        "\nthe person of %s (cut out by figsplit) moving over %s: 1920x1080 %d fps H.264, %d s "
        "per size -> 960x540 mattes\n"
        "IoU: mean over frames of |matte >= 128 and truth >= 128| / |either|, frames where both "
        "are empty skipped\n"
        "truth: the ground truth handed back as the segmenter's matte (no model), the baseline "
        "of IoU and fps\n",
        std::filesystem::path(kPhoto).filename().c_str(),
        std::filesystem::path(kBackground).filename().c_str(), kFps, seconds);
    std::printf("%-6s %7s %-9s %7s %7s %7s %9s %10s\n", "size", "person", "quality", "smooth",
                "frames", "IoU", "fps", "fps/truth");
    const std::string output = dir.path + "/matte.mov";
    for (const ClipPlan& plan : kPlans) {
        const std::string base = dir.path + "/" + plan.name;
        const std::string clip = base + ".mp4";
        const std::string rawTruth = base + "-truth.gray";
        double truthFps[3] = {};  // by smoothing radius (0 ... 2)
        for (const RunPlan& run : kRuns) {
            for (const int64_t smoothRadius : {defaultSmoothing, int64_t{0}}) {
                const ChildRun child = inChild(
                    [&] { return runVideoMode(run, smoothRadius, clip, rawTruth, output); });
                if (!child.ok) throw BenchError(std::string("a ") + run.label + " run failed");
                const Score result = score(output, rawTruth);
                const double fps = static_cast<double>(result.frames) / child.wallSeconds;
                if (!run.quality) truthFps[smoothRadius] = fps;
                std::printf("%-6s %6.1f%% %-9s %7lld %7lld %7.3f %9.1f %10.2f\n", plan.name,
                            plan.personHeight * 100, run.label,
                            static_cast<long long>(smoothRadius),
                            static_cast<long long>(result.frames), result.meanIou, fps,
                            fps / truthFps[smoothRadius]);
            }
        }
    }
    std::printf("\nquality bench: %.0f s (clips %.0f s, runs and scoring %.0f s)\n",
                secondsSince(start), clipSeconds, secondsSince(start) - clipSeconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    figsplit::chooseOpenMpWaiting(argv);
    const int seconds = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 6) : 4;
    try {
        return bench(seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quality_bench: %s\n", error.what());
        return 1;
    }
}
