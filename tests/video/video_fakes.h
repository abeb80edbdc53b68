#pragma once
// Test doubles for the video pipeline's platform services: a movie asset with a scripted reader,
// a matte writer whose pool hands out padded buffers, and a segmenter, each of which can be told
// to fail at a chosen point. What they see is written to a Journal, which a test may place in
// memory shared with a child process.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "video/video_run.h"

namespace figsplit::testing {

inline constexpr uint8_t kSentinel = 0xA5;  // padding bytes of the fake pool's buffers
inline constexpr int kMaxJournalFrames = 256;

// One sample the fake reader hands out: a time and whether it carries a picture.
struct FakeSample {
    MediaTime pts;
    bool hasImage = true;
};

struct FakeMovieScript {
    bool tracksLoad = true;
    std::vector<TrackId> tracks{7};
    bool durationLoads = true;
    MediaTime duration{5, 2, MediaTime::kValid, 0};  // 2.5 s
    bool transformLoads = true;
    AffineTransform transform;
    bool sizeLoads = true;
    Size2D size{64, 48};

    bool readerMade = true;
    std::string readerMakeError = "reader could not be made";
    bool start = true;
    std::optional<std::string> readerError;  // reported after a refused start or a failure
    std::vector<FakeSample> samples;
    int failAfter = -1;  // >= 0: after that many samples the reader stops with status failed
};

struct FakeWriterScript {
    bool made = true;
    std::string makeError = "writer could not be made";
    bool open = true;
    enum class Pool { normal, none, empty } pool = Pool::normal;
    int padding = 12;        // extra bytes per row in the pool's buffers
    int busyPolls = 0;       // answers "not ready" this many times before each append
    int refuseAppend = -1;   // >= 0: the append with this index (from 0) is refused
    int raiseOnAppend = -1;  // >= 0: that append raises `raiseSignal` first
    int raiseSignal = 0;
    std::optional<std::string> error;  // reported after a refused start, append or finish
    WriterStatus finishStatus = WriterStatus::completed;
};

struct FakeSegmenterScript {
    bool loads = true;
    std::string loadError = "model missing";
    ImageSize inputSize{32, 24};  // what inputSize() answers
    int64_t matteWidth = 16;
    int64_t matteHeight = 12;
    std::set<int> failOnCalls;   // perform() fails on these calls (from 0)
    std::set<int> emptyOnCalls;  // perform() succeeds with no matte on these calls
};

struct Journal {
    // Converter and segmenter.
    int conversions = 0;
    std::optional<Orientation> lastOrientation;  // empty until a frame is converted
    int64_t convertedWidth = 0, convertedHeight = 0;
    int64_t inputSizeAskedWidth = 0, inputSizeAskedHeight = 0;
    int performs = 0;
    int64_t performedFrame[kMaxJournalFrames] = {};  // the frame index of each perform

    // Writer. It writes "frame\n" per append to the file it was given, like a real one.
    bool outputExistedWhenWriterMade = false;
    char writerPath[1024] = {};
    int writersMade = 0;
    int64_t writerWidth = 0, writerHeight = 0;
    bool sessionStarted = false;
    MediaTime sessionStart;
    int readyPolls = 0;
    int appended = 0;
    MediaTime appendedPts[kMaxJournalFrames];
    uint8_t appendedFirst[kMaxJournalFrames] = {};  // the B byte of each frame's first pixel
    bool appendedFlat[kMaxJournalFrames] = {};      // every pixel of the frame had that value
    bool pixelsWellFormed = true;  // every appended pixel grey and opaque, padding untouched
    bool finished = false;
    bool markedFinished = false;
};

// The services of a run over the scripted movie, writer and segmenter. The writer creates the
// file at the path it is given when it starts and adds "frame\n" to it per append. The converter
// gives an upright picture of the asked size whose every byte is the frame's index (mod 256), and
// the segmenter a matte of its own size filled with 40 + that byte.
VideoServices fakeServices(const FakeMovieScript& movie, const FakeWriterScript& writer,
                           const FakeSegmenterScript& segmenter, Journal* journal);

// Samples at times i / timescale for i in [first, first + count).
std::vector<FakeSample> framesAt(int64_t first, int64_t count, int32_t timescale);

// A frame for the fake converter: no pixels, only its index in `pts`.
FramePtr fakeFrame(int64_t index);

}  // namespace figsplit::testing
