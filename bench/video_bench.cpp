// Video mode end to end on a 10 s 1080p30 H.264 clip of people (made here from opencv-doc's
// vtest.avi with the ffmpeg command-line tool) → 960x540 mattes, for each quality:
//   end-to-end     the whole of video mode (runVideo with the real services)
//   segmentation   the model alone: loading it and one perform per frame, in frame order, on
//                  frames converted beforehand to the size the model asks for
//   decode/encode  the same run with a segmenter that does nothing: decoding, the conversion to
//                  the model's input size, the median, the BGRA expansion and encoding
// and reports frames per second, peak resident memory, and the ratio
// end-to-end / (segmentation + decode/encode), all measured in this run.
// Then peak memory of whole runs on 4K clips of two lengths (it should not grow with length).
// Every run happens in its own child process, so that its peak memory is its own.
//
// Usage: video_bench [runs]   (default 2; the minimum of the runs is reported)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/engine/wait_policy.h"
#include "video/video_run.h"

namespace {

using namespace figsplit;
using Clock = std::chrono::steady_clock;

const char* const kPeople = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";

struct ChildResult {
    bool ok = false;
    double wallSeconds = 0;   // fork to exit, measured by the parent
    double maxRssMb = 0;      // the child's peak resident set
    double reported[3] = {};  // what the child sends back
};

// Runs `body` in a child (standard error silenced: the run's own lines) and collects its time,
// peak memory and up to three numbers it reports.
ChildResult inChild(const std::function<bool(double reported[3])>& body) {
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        FILE* null = std::fopen("/dev/null", "w");
        ::dup2(::fileno(null), 2);
        double reported[3] = {};
        const bool ok = body(reported);
        [[maybe_unused]] ssize_t n = ::write(fds[1], reported, sizeof reported);
        std::_Exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    ChildResult result;
    [[maybe_unused]] ssize_t n = ::read(fds[0], result.reported, sizeof result.reported);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.maxRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return result;
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// A segmenter that asks for the real model's input size and produces no matte.
class NullSegmenter : public Segmenter {
  public:
    explicit NullSegmenter(ImageSize size) : size_(size) {}
    ImageSize inputSize(int64_t, int64_t) const override { return size_; }
    bool perform(const RgbImage&, GreyImage& matte, std::string&) override {
        matte = GreyImage{};
        return true;
    }

  private:
    ImageSize size_;
};

Settings settingsFor(Quality quality) {
    Settings settings;
    settings.quality = quality;
    return settings;
}

bool endToEnd(const std::string& clip, const std::string& output, Quality quality) {
    return runVideo(settingsFor(quality), clip, output, realVideoServices()) == 0;
}

bool decodeEncode(const std::string& clip, const std::string& output, Quality quality,
                  ImageSize modelInput) {
    VideoServices services = realVideoServices();
    services.makeSegmenter = [modelInput](Quality, bool) {
        return SegmenterResult{std::make_unique<NullSegmenter>(modelInput), {}};
    };
    return runVideo(settingsFor(quality), clip, output, std::move(services)) == 0;
}

// Reports the model's input size (width, height) and the seconds of loading plus performing.
bool segmentationAlone(const std::string& clip, Quality quality, int64_t displayW, int64_t displayH,
                       double reported[3]) {
    // The model's input size, then every frame converted to it (not timed).
    SegmenterResult probe = makeSegmenter(quality, true);
    if (!probe.segmenter) return false;
    const ImageSize input = probe.segmenter->inputSize(displayW, displayH);
    probe.segmenter.reset();

    auto asset = openMovieAsset(clip);
    std::string error;
    auto reader = asset->makeReader(0, error);
    if (!reader || !reader->start()) return false;
    FrameScaler scaler;
    std::vector<RgbImage> frames;
    DecodedSample sample;
    while (reader->nextSample(sample)) {
        if (!sample.image) continue;
        RgbImage upright;
        if (!frameToUprightRgb(*sample.image, Orientation::up, input.width, input.height, scaler,
                               upright, error)) {
            return false;
        }
        frames.push_back(std::move(upright));
    }

    const auto start = Clock::now();
    SegmenterResult loaded = makeSegmenter(quality, true);
    if (!loaded.segmenter) return false;
    GreyImage matte;
    for (const RgbImage& frame : frames) {
        if (!loaded.segmenter->perform(frame, matte, error)) return false;
    }
    reported[0] = static_cast<double>(input.width);
    reported[1] = static_cast<double>(input.height);
    reported[2] = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

struct Best {
    double seconds = 1e300;
    double rssMb = 0;
    void add(double s, double rss) {
        seconds = std::min(seconds, s);
        rssMb = std::max(rssMb, rss);
    }
};

}  // namespace

int main(int argc, char** argv) {
    figsplit::chooseOpenMpWaiting(argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
    if (!std::filesystem::exists(kPeople)) {
        std::fprintf(stderr, "needs %s (the opencv-doc package)\n", kPeople);
        return 1;
    }
    char pattern[] = "/tmp/figsplit-video-bench-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string clip = dir + "/people1080.mp4";
    const std::string output = dir + "/matte.mov";
    constexpr int kFrames = 300;

    std::printf("making the clips...\n");
    std::fflush(stdout);
    // 30 s of the source at three times its speed: 300 distinct 1080p frames at 30 per second.
    shell("ffmpeg -nostdin -y -v error -i " + std::string(kPeople) +
          " -vf setpts=PTS/3,scale=1920:1080,fps=30 -t 10 -c:v libx264 -preset fast -bf 2 "
          "-pix_fmt yuv420p " +
          clip);
    const std::string clip4kShort = dir + "/people4k-2s.mp4";
    const std::string clip4kLong = dir + "/people4k-6s.mp4";
    for (const auto& [path, seconds] : {std::pair{clip4kShort, 2}, std::pair{clip4kLong, 6}}) {
        shell("ffmpeg -nostdin -y -v error -i " + std::string(kPeople) +
              " -vf setpts=PTS/3,scale=3840:2160,fps=30 -t " + std::to_string(seconds) +
              " -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + path);
    }

    std::printf("\n1080p30, 10 s, %d frames -> 960x540; best of %d runs\n", kFrames, runs);
    std::printf("%-9s %-14s %9s %9s %12s\n", "quality", "stage", "seconds", "fps", "peak RSS MB");
    for (const Quality quality : {Quality::accurate, Quality::balanced}) {
        const char* name = quality == Quality::accurate ? "accurate" : "balanced";
        Best whole, segmentation, baseline;
        ImageSize modelInput;
        for (int run = 0; run < runs; ++run) {
            const ChildResult seg = inChild([&](double reported[3]) {
                return segmentationAlone(clip, quality, 1920, 1080, reported);
            });
            if (!seg.ok) {
                std::fprintf(stderr, "segmentation alone failed\n");
                return 1;
            }
            modelInput = ImageSize{static_cast<int64_t>(seg.reported[0]),
                                   static_cast<int64_t>(seg.reported[1])};
            segmentation.add(seg.reported[2], seg.maxRssMb);

            const ChildResult base =
                inChild([&](double*) { return decodeEncode(clip, output, quality, modelInput); });
            const ChildResult all =
                inChild([&](double*) { return endToEnd(clip, output, quality); });
            if (!base.ok || !all.ok) {
                std::fprintf(stderr, "a run failed\n");
                return 1;
            }
            baseline.add(base.wallSeconds, base.maxRssMb);
            whole.add(all.wallSeconds, all.maxRssMb);
        }
        const auto row = [&](const char* stage, const Best& best) {
            std::printf("%-9s %-14s %9.2f %9.1f %12.0f\n", name, stage, best.seconds,
                        kFrames / best.seconds, best.rssMb);
        };
        row("end-to-end", whole);
        row("segmentation", segmentation);
        row("decode/encode", baseline);
        std::printf(
            "%-9s model input %lldx%lld; end-to-end / (segmentation + decode/encode) = "
            "%.2f\n",
            name, static_cast<long long>(modelInput.width),
            static_cast<long long>(modelInput.height),
            whole.seconds / (segmentation.seconds + baseline.seconds));
    }

    std::printf("\n4K sources -> 960x540, peak RSS of a whole run\n");
    std::printf("%-9s %12s %12s %9s\n", "quality", "2 s (MB)", "6 s (MB)", "6 s / 2 s");
    for (const Quality quality : {Quality::accurate, Quality::balanced}) {
        const ChildResult shortRun =
            inChild([&](double*) { return endToEnd(clip4kShort, output, quality); });
        const ChildResult longRun =
            inChild([&](double*) { return endToEnd(clip4kLong, output, quality); });
        if (!shortRun.ok || !longRun.ok) {
            std::fprintf(stderr, "a 4K run failed\n");
            return 1;
        }
        std::printf("%-9s %12.0f %12.0f %9.2f\n",
                    quality == Quality::accurate ? "accurate" : "balanced", shortRun.maxRssMb,
                    longRun.maxRssMb, longRun.maxRssMb / shortRun.maxRssMb);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
