// The media service on a 1080p30 clip of 10 s (made here with the ffmpeg command-line tool):
//   decode        the reader alone: every frame out of the decoder
//   decode+rgb    the reader and the conversion to upright 960x540 RGB, as the pipeline does it
//   encode        300 matte-like 960x540 BGRA frames through the matte writer to a finished movie
// Each is measured against the ffmpeg command-line tool doing the same work in the same run
// (decoding to nothing; decoding and scaling to 960x540 RGB; encoding the same raw frames with
// the writer's settings). Prints min / median / max seconds and frames per second, and the
// ratios of our medians to the tool's (above 1: faster than the tool).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/frame_image.h"
#include "platform/media/movie.h"

namespace {

using namespace figsplit;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 300;
constexpr int kOutW = 960, kOutH = 540;
constexpr int kRuns = 3;

struct Timing {
    double min = 0, median = 0, max = 0;
};

Timing measure(const std::function<void()>& work) {
    work();  // warm-up: file cache, libraries, encoder start-up
    std::vector<double> seconds;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        work();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return {seconds.front(), seconds[seconds.size() / 2], seconds.back()};
}

void print(const char* name, const Timing& timing) {
    std::printf("%-22s min %6.2f s  median %6.2f s  max %6.2f s  %7.1f fps (median)\n", name,
                timing.min, timing.median, timing.max, kFrames / timing.median);
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

int decodeClip(const std::string& path, bool convert) {
    auto asset = openMovieAsset(path);
    std::string error;
    auto reader = asset->makeReader(0, error);
    if (!reader || !reader->start()) {
        std::fprintf(stderr, "reader: %s\n", error.c_str());
        std::exit(1);
    }
    FrameScaler scaler;
    RgbImage upright;
    DecodedSample sample;
    int frames = 0;
    while (reader->nextSample(sample)) {
        if (convert && !frameToUprightRgb(*sample.image, Orientation::up, kOutW, kOutH, scaler,
                                          upright, error)) {
            std::fprintf(stderr, "convert: %s\n", error.c_str());
            std::exit(1);
        }
        ++frames;
    }
    return frames;
}

// A soft-edged disc drifting across the frame, like a person's matte.
uint8_t matteValue(int frame, int x, int y) {
    const double cx = 300.0 + 2.0 * frame, cy = 270.0;
    const double d = std::hypot((x - cx) / 150.0, (y - cy) / 220.0);
    return static_cast<uint8_t>(std::clamp((1.0 - d) * 20.0, 0.0, 1.0) * 255.0);
}

void encodeMattes(const std::string& path, const std::vector<std::vector<uint8_t>>& mattes) {
    std::string error;
    auto writer = makeMatteWriter({path, kOutW, kOutH}, error);
    if (!writer || !writer->open()) {
        std::fprintf(stderr, "writer: %s\n", error.c_str());
        std::exit(1);
    }
    writer->beginTimeline(MediaTime{0, 30, MediaTime::kValid, 0});
    for (int f = 0; f < kFrames; ++f) {
        PixelBufferRef buffer = writer->bufferPool()->takeBuffer();
        const std::vector<uint8_t>& matte = mattes[static_cast<size_t>(f)];
        for (int y = 0; y < kOutH; ++y) {
            uint8_t* row = buffer->base + y * buffer->stride;
            for (int x = 0; x < kOutW; ++x) {
                const uint8_t v = matte[static_cast<size_t>(y * kOutW + x)];
                row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
                row[4 * x + 3] = 255;
            }
        }
        while (!writer->readyForMore()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        writer->append(std::move(buffer), MediaTime{f, 30, MediaTime::kValid, 0});
    }
    std::promise<void> done;
    writer->endInput();
    writer->finish([&] { done.set_value(); });
    done.get_future().wait();
    if (writer->status() != WriterStatus::completed) {
        std::fprintf(stderr, "writer: %s\n", writer->error().value_or("did not complete").c_str());
        std::exit(1);
    }
}

}  // namespace

int main() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("figsplit-media-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string clip = (dir / "clip1080p30.mp4").string();
    const std::string raw = (dir / "mattes.bgra").string();
    const std::string quiet = "ffmpeg -nostdin -y -hide_banner -loglevel error ";
    std::printf("making a 1080p30 10 s clip ...\n");
    run(quiet +
        "-f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10 -vf noise=alls=12:allf=t "
        "-c:v libx264 -preset veryfast -b:v 16M -pix_fmt yuv420p '" +
        clip + "'");

    std::vector<std::vector<uint8_t>> mattes(kFrames);
    {
        std::ofstream out(raw, std::ios::binary);
        std::vector<uint8_t> bgra(static_cast<size_t>(kOutW) * kOutH * 4);
        for (int f = 0; f < kFrames; ++f) {
            auto& matte = mattes[static_cast<size_t>(f)];
            matte.resize(static_cast<size_t>(kOutW) * kOutH);
            for (int y = 0; y < kOutH; ++y) {
                for (int x = 0; x < kOutW; ++x) {
                    const uint8_t v = matteValue(f, x, y);
                    matte[static_cast<size_t>(y * kOutW + x)] = v;
                    uint8_t* p = &bgra[static_cast<size_t>(y * kOutW + x) * 4];
                    p[0] = p[1] = p[2] = v;
                    p[3] = 255;
                }
            }
            out.write(reinterpret_cast<const char*>(bgra.data()),
                      static_cast<std::streamsize>(bgra.size()));
        }
    }

    if (decodeClip(clip, false) != kFrames) {
        std::fprintf(stderr, "the clip does not have %d frames\n", kFrames);
        return 1;
    }
    const Timing decode = measure([&] { decodeClip(clip, false); });
    const Timing decodeTool = measure([&] { run(quiet + "-i '" + clip + "' -f null -"); });
    const Timing convert = measure([&] { decodeClip(clip, true); });
    const Timing convertTool = measure([&] {
        run(quiet + "-i '" + clip + "' -vf scale=960:540:flags=bilinear -pix_fmt rgb24 -f null -");
    });
    const std::string matte = (dir / "matte.mov").string();
    const Timing encode = measure([&] { encodeMattes(matte, mattes); });
    const Timing encodeTool = measure([&] {
        run(quiet + "-f rawvideo -pix_fmt bgra -s 960x540 -r 30 -i '" + raw +
            "' -vf scale=out_range=full -pix_fmt yuv420p -color_range pc -c:v libx264 -preset "
            "veryfast -b:v 6M -maxrate 12M -bufsize 12M -bf 0 -f mov '" +
            (dir / "tool.mov").string() + "'");
    });

    std::printf("\n");
    print("decode (ours)", decode);
    print("decode (ffmpeg tool)", decodeTool);
    print("decode+rgb (ours)", convert);
    print("decode+rgb (ffmpeg)", convertTool);
    print("encode (ours)", encode);
    print("encode (ffmpeg tool)", encodeTool);
    std::printf(
        "\nspeed against the tool (median ratio): decode %.2f, decode+rgb %.2f, encode %.2f\n",
        decodeTool.median / decode.median, convertTool.median / convert.median,
        encodeTool.median / encode.median);
    std::filesystem::remove_all(dir);
    return 0;
}
