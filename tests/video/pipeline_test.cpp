// The whole of video mode over scripted services, run in a child process: the exact lines on
// standard error and the exit status for every way a run ends, and what reached the writer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "child_process.h"
#include "report/output_file.h"
#include "support/scratch_dir.h"
#include "video/video_run.h"
#include "video_fakes.h"

namespace figsplit {
namespace {

namespace fs = std::filesystem;
using testing::ChildOutcome;
using testing::FakeSample;
using testing::framesAt;
using testing::Journal;
using testing::SharedRecord;

// Twelve frames at 25 per second, 64 x 48, a 2.5 s duration.
struct Scenario {
    Scenario() { movie.samples = framesAt(0, 12, 25); }
    testing::FakeMovieScript movie;
    testing::FakeWriterScript writer;
    testing::FakeSegmenterScript segmenter;
    Settings settings;
    std::string input = "clip.mov";
};

const std::string kHeader = "duration 2.5\nsize 64 48\n";

class Pipeline : public ::testing::Test {
  protected:
    ChildOutcome run(const Scenario& scenario) {
        return testing::runInChild([&] {
            return runVideo(scenario.settings, scenario.input, output_,
                            testing::fakeServices(scenario.movie, scenario.writer,
                                                  scenario.segmenter, journal_.get()));
        });
    }

    void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
    // The names in the scratch directory, sorted.
    std::vector<std::string> entries() const { return testing::directoryEntries(dir_); }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    testing::ScratchDir scratch_;
    const fs::path dir_ = scratch_.path();
    std::string output_ = (dir_ / "matte.mov").string();
    SharedRecord<Journal> journal_;
};

TEST_F(Pipeline, EveryWayARunEnds) {
    struct Case {
        const char* name;
        std::function<void(Scenario&)> change;
        std::string expected;
        int exitStatus;
    };
    const Case cases[] = {
        {"success", [](Scenario&) {}, kHeader + "time 0.16\ntime 0.36\nframes 12\n", 0},
        {"one frame", [](Scenario& s) { s.movie.samples = framesAt(0, 1, 25); },
         kHeader + "frames 1\n", 0},
        {"four frames", [](Scenario& s) { s.movie.samples = framesAt(0, 4, 25); },
         kHeader + "frames 4\n", 0},
        {"no video track", [](Scenario& s) { s.movie.tracks.clear(); },
         "error no video track in clip.mov\n", 1},
        {"track list fails to load", [](Scenario& s) { s.movie.tracksLoad = false; },
         "error no video track in clip.mov\n", 1},
        {"size fails to load", [](Scenario& s) { s.movie.sizeLoads = false; },
         "error could not read video dimensions\n", 1},
        {"reader not made", [](Scenario& s) { s.movie.readerMade = false; },
         kHeader + "error reader: reader could not be made\n", 1},
        {"writer not made", [](Scenario& s) { s.writer.made = false; },
         kHeader + "error writer: writer could not be made\n", 1},
        {"reading refused with a reason",
         [](Scenario& s) {
             s.movie.start = false;
             s.movie.readerError = "Invalid data found when processing input";
         },
         kHeader + "error reader: Invalid data found when processing input\n", 1},
        {"reading refused", [](Scenario& s) { s.movie.start = false; },
         kHeader + "error reader: start failed\n", 1},
        {"writing refused with a reason",
         [](Scenario& s) {
             s.writer.open = false;
             s.writer.error = "No space left on device";
         },
         kHeader + "error writer: No space left on device\n", 1},
        {"writing refused", [](Scenario& s) { s.writer.open = false; },
         kHeader + "error writer: start failed\n", 1},
        {"model does not load", [](Scenario& s) { s.segmenter.loads = false; },
         kHeader + "error segmentation: model missing\n", 1},
        {"mask buffer too large",
         [](Scenario& s) {
             s.movie.size = Size2D{20000, 20000};
             s.settings.longEdge = 100000;
         },
         "duration 2.5\nsize 20000 20000\nerror could not allocate a mask buffer\n", 1},
        {"no pool", [](Scenario& s) { s.writer.pool = testing::FakeWriterScript::Pool::none; },
         kHeader + "error writer has no pixel buffer pool\n", 1},
        {"pool yields nothing",
         [](Scenario& s) { s.writer.pool = testing::FakeWriterScript::Pool::empty; },
         kHeader + "error could not allocate an output frame\n", 1},
        {"append refused with a reason",
         [](Scenario& s) {
             s.writer.refuseAppend = 6;
             s.writer.error = "Cannot allocate memory";
         },
         kHeader + "time 0.16\nerror writer: Cannot allocate memory\n", 1},
        {"append refused", [](Scenario& s) { s.writer.refuseAppend = 0; },
         kHeader + "error writer: append failed\n", 1},
        {"reader fails part-way with a reason",
         [](Scenario& s) {
             s.movie.failAfter = 7;
             s.movie.readerError = "Invalid data found when processing input";
         },
         kHeader + "time 0.16\nerror reader: Invalid data found when processing input\n", 1},
        {"reader fails part-way", [](Scenario& s) { s.movie.failAfter = 3; },
         kHeader + "error reader: failed\n", 1},
        {"no samples", [](Scenario& s) { s.movie.samples.clear(); },
         kHeader + "error no frames decoded\n", 1},
        {"no sample with a picture",
         [](Scenario& s) {
             for (FakeSample& sample : s.movie.samples) sample.hasImage = false;
         },
         kHeader + "error no frames decoded\n", 1},
        {"finish fails with a reason",
         [](Scenario& s) {
             s.writer.finishStatus = WriterStatus::failed;
             s.writer.error = "Broken pipe";
         },
         kHeader + "time 0.16\ntime 0.36\nerror writer: Broken pipe\n", 1},
        {"finish does not complete",
         [](Scenario& s) { s.writer.finishStatus = WriterStatus::cancelled; },
         kHeader + "time 0.16\ntime 0.36\nerror writer: did not complete\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario scenario;
        c.change(scenario);
        const ChildOutcome outcome = run(scenario);
        EXPECT_EQ(outcome.stderrText, c.expected);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
    }
}

TEST_F(Pipeline, ASuccessfulRunWritesEveryFrameAtItsOwnTimeAndFinishes) {
    Scenario scenario;
    scenario.settings.smoothRadius = 0;
    const ChildOutcome outcome = run(scenario);
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.stderrText;

    EXPECT_EQ(journal_->writerWidth, 64);
    EXPECT_EQ(journal_->writerHeight, 48);
    EXPECT_TRUE(journal_->sessionStarted);
    EXPECT_EQ(journal_->sessionStart, scenario.movie.samples[0].pts);
    ASSERT_EQ(journal_->appended, 12);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(journal_->appendedPts[i], scenario.movie.samples[i].pts) << i;
        EXPECT_TRUE(journal_->appendedFlat[i]) << i;
        EXPECT_EQ(journal_->appendedFirst[i], 40 + i) << i;
    }
    EXPECT_TRUE(journal_->pixelsWellFormed);
    EXPECT_TRUE(journal_->markedFinished);
    EXPECT_TRUE(journal_->finished);
}

// A late first frame, samples without a picture, and ranges: the session starts at the first
// picture even when it is gated; gated frames are black and never segmented; pictureless samples
// are not counted.
TEST_F(Pipeline, SessionStartRangesAndSamplesWithoutAPicture) {
    Scenario scenario;
    scenario.settings.smoothRadius = 0;
    scenario.settings.ranges = std::vector<TimeRange>{{11, 12}};
    const auto at = [](int64_t quarters, bool hasImage = true) {
        return FakeSample{MediaTime{quarters, 4, MediaTime::kValid, 0}, hasImage};
    };
    scenario.movie.samples = {at(0, false),  at(36), at(40), at(44),
                              at(45, false), at(46), at(48), at(52)};
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.stderrText, kHeader + "time 12.0\nframes 6\n");
    EXPECT_EQ(outcome.exitStatus, 0);

    EXPECT_EQ(journal_->sessionStart, (MediaTime{36, 4, MediaTime::kValid, 0}));
    // Samples 3 (11 s), 5 (11.5 s) and 6 (12 s) are inside; fake frames carry the sample index.
    ASSERT_EQ(journal_->performs, 3);
    EXPECT_EQ(journal_->performedFrame[0], 3);
    EXPECT_EQ(journal_->performedFrame[1], 5);
    EXPECT_EQ(journal_->performedFrame[2], 6);
    ASSERT_EQ(journal_->appended, 6);
    const uint8_t expected[] = {0, 0, 43, 45, 46, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(journal_->appendedFirst[i], expected[i]) << i;
}

TEST_F(Pipeline, APresentButEmptyRangeListNeverSegments) {
    Scenario scenario;
    scenario.settings.ranges = std::vector<TimeRange>{};
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.stderrText;
    EXPECT_EQ(journal_->performs, 0);
    EXPECT_EQ(journal_->conversions, 0);
    ASSERT_EQ(journal_->appended, 12);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(journal_->appendedFirst[i], 0) << i;
}

TEST_F(Pipeline, ASegmentationFailureBlanksOneFrameSilently) {
    Scenario scenario;
    scenario.settings.smoothRadius = 0;
    scenario.segmenter.failOnCalls = {4};
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.stderrText, kHeader + "time 0.16\ntime 0.36\nframes 12\n");
    EXPECT_EQ(outcome.exitStatus, 0);
    ASSERT_EQ(journal_->appended, 12);
    EXPECT_EQ(journal_->appendedFirst[3], 43);
    EXPECT_EQ(journal_->appendedFirst[4], 0);
    EXPECT_EQ(journal_->appendedFirst[5], 45);
}

TEST_F(Pipeline, AQuarterTurnGivesAPortraitMatteAndTheSegmenterSeesTheUprightFrame) {
    Scenario scenario;
    scenario.movie.transform = AffineTransform{0, 1, -1, 0, 48, 0};
    scenario.movie.durationLoads = false;
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.stderrText, "duration 0.0\nsize 48 64\ntime 0.16\ntime 0.36\nframes 12\n");
    EXPECT_EQ(journal_->writerWidth, 48);
    EXPECT_EQ(journal_->writerHeight, 64);
    EXPECT_EQ(journal_->lastOrientation, Orientation::right);
    EXPECT_EQ(journal_->inputSizeAskedWidth, 48);
    EXPECT_EQ(journal_->inputSizeAskedHeight, 64);
    EXPECT_EQ(journal_->convertedWidth, 32);  // what the segmenter asked for
    EXPECT_EQ(journal_->convertedHeight, 24);
}

TEST_F(Pipeline, ABusyEncoderIsWaitedFor) {
    Scenario scenario;
    scenario.writer.busyPolls = 2;
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.stderrText;
    EXPECT_EQ(journal_->appended, 12);
    EXPECT_EQ(journal_->readyPolls, 1 + 11 * 3);  // the first append finds it ready
}

// The writer fills a hidden temporary file beside the output. Whatever ends the run, the old
// output is either whole or replaced by the finished movie, and nothing else is left.
TEST_F(Pipeline, TheOldOutputStaysUntilTheFinishedMovieReplacesIt) {
    struct Case {
        const char* name;
        std::function<void(Scenario&)> change;
        std::string expected;  // standard error after the header
    };
    const Case cases[] = {
        {"success", [](Scenario&) {}, "time 0.16\ntime 0.36\nframes 12\n"},
        {"no frames", [](Scenario& s) { s.movie.samples.clear(); }, "error no frames decoded\n"},
        {"writer not made", [](Scenario& s) { s.writer.made = false; },
         "error writer: writer could not be made\n"},
        {"writing refused", [](Scenario& s) { s.writer.open = false; },
         "error writer: start failed\n"},
        {"disk full on frame 7",
         [](Scenario& s) {
             s.writer.refuseAppend = 7;
             s.writer.error = "No space left on device";
         },
         "time 0.16\nerror writer: No space left on device\n"},
        {"reader fails part-way", [](Scenario& s) { s.movie.failAfter = 9; },
         "time 0.16\nerror reader: failed\n"},
        {"finish fails",
         [](Scenario& s) {
             s.writer.finishStatus = WriterStatus::failed;
             s.writer.error = "Input/output error";
         },
         "time 0.16\ntime 0.36\nerror writer: Input/output error\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(output_, "an old movie");
        ASSERT_EQ(::chmod(output_.c_str(), 0640), 0);
        *journal_ = Journal{};
        Scenario scenario;
        c.change(scenario);
        const ChildOutcome outcome = run(scenario);
        EXPECT_EQ(outcome.stderrText, kHeader + c.expected);
        EXPECT_EQ(entries(), std::vector<std::string>{"matte.mov"}) << "no temporary file left";
        const bool success = outcome.exitStatus == 0;
        std::string frames;
        for (int i = 0; i < 12; ++i) frames += "frame\n";
        EXPECT_EQ(readFile(output_), success ? frames : "an old movie");
        struct stat info {};
        ASSERT_EQ(::stat(output_.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u) << "the replaced file's permissions are kept";
        if (journal_->writersMade == 1) {
            const std::string written = journal_->writerPath;
            EXPECT_EQ(written.rfind((dir_ / ".matte.mov.").string(), 0), 0u) << written;
            EXPECT_TRUE(journal_->outputExistedWhenWriterMade) << "created before the writer";
        }
    }
}

// SIGINT, SIGTERM and SIGHUP in the middle of a run: the temporary file goes, the old output
// stays, and the process ends by the signal itself.
TEST_F(Pipeline, AnInterruptedRunRemovesItsTemporaryFileAndEndsByTheSignal) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        writeFile(output_, "an old movie");
        Scenario scenario;
        scenario.writer.raiseOnAppend = 5;
        scenario.writer.raiseSignal = signal;
        const ChildOutcome outcome = testing::runInChild([&] {
            installInterruptCleanup();
            return runVideo(scenario.settings, scenario.input, output_,
                            testing::fakeServices(scenario.movie, scenario.writer,
                                                  scenario.segmenter, journal_.get()));
        });
        EXPECT_EQ(outcome.exitStatus, 128 + signal);
        EXPECT_EQ(outcome.stderrText, kHeader + "time 0.16\n");
        EXPECT_EQ(entries(), std::vector<std::string>{"matte.mov"});
        EXPECT_EQ(readFile(output_), "an old movie");
    }
}

// Only a regular file is ever replaced. A character device is written to as it is; a FIFO, a
// socket or a block device is refused, by the name given, before any writer is made.
TEST_F(Pipeline, OutputsThatAreNotRegularFiles) {
    const fs::path fifo = dir_ / "fifo.mov";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, dir_ / "to-fifo.mov");
    const fs::path socketPath = dir_ / "socket.mov";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const bool devices = ::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0 &&
                         ::mknod((dir_ / "disk").c_str(), S_IFBLK | 0600, ::makedev(7, 200)) == 0;

    struct Case {
        fs::path output;
        const char* kind;  // null: written
    };
    std::vector<Case> cases = {
        {fifo, "a FIFO"}, {dir_ / "to-fifo.mov", "a FIFO"}, {socketPath, "a socket"}};
    if (devices) {
        cases.push_back({dir_ / "disk", "a block device"});
        cases.push_back({dir_ / "null", nullptr});
    } else {
        std::cerr << "device nodes cannot be made here (not root?): devices not tested\n";
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        *journal_ = Journal{};
        output_ = c.output.string();
        const fs::file_type before = fs::symlink_status(c.output).type();
        const ChildOutcome outcome = run(Scenario{});
        if (c.kind == nullptr) {
            EXPECT_EQ(outcome.stderrText, kHeader + "time 0.16\ntime 0.36\nframes 12\n");
            EXPECT_EQ(std::string(journal_->writerPath), output_) << "written directly";
        } else {
            EXPECT_EQ(outcome.stderrText, kHeader + "error output is " + c.kind +
                                              ", not a regular file: " + output_ + "\n");
            EXPECT_EQ(journal_->writersMade, 0);
        }
        EXPECT_EQ(fs::symlink_status(c.output).type(), before);
    }
    ::close(listener);
    EXPECT_EQ(entries().size(), devices ? 5u : 3u) << "nothing added";
}

TEST_F(Pipeline, ADirectoryAtTheOutputPathIsNotRemoved) {
    fs::create_directory(output_);
    writeFile(fs::path(output_) / "keep.txt", "kept");
    Scenario scenario;
    scenario.writer.made = false;  // as the real writer would refuse a directory
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.stderrText, kHeader + "error writer: writer could not be made\n");
    EXPECT_EQ(readFile(fs::path(output_) / "keep.txt"), "kept");
}

// An output that is the input itself, under any name, is refused before anything is removed.
TEST_F(Pipeline, AnOutputThatIsTheInputIsRefused) {
    const fs::path input = dir_ / "clip.mov";
    struct Case {
        const char* name;
        std::function<std::string()> makeOutput;  // returns the output path
    };
    const Case cases[] = {
        {"same path", [&] { return input.string(); }},
        {"other spelling", [&] { return (dir_ / "." / "clip.mov").string(); }},
        {"symbolic link",
         [&] {
             fs::create_symlink(input, dir_ / "link.mov");
             return (dir_ / "link.mov").string();
         }},
        {"hard link",
         [&] {
             fs::create_hard_link(input, dir_ / "hard.mov");
             return (dir_ / "hard.mov").string();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "link.mov");
        fs::remove(dir_ / "hard.mov");
        writeFile(input, "the only copy");
        *journal_ = Journal{};
        output_ = c.makeOutput();
        Scenario scenario;
        scenario.input = input.string();
        const ChildOutcome outcome = run(scenario);
        EXPECT_EQ(outcome.stderrText,
                  kHeader + "error output would overwrite the input " + input.string() + "\n");
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(readFile(input), "the only copy");
        EXPECT_TRUE(fs::exists(output_));
        EXPECT_EQ(journal_->writersMade, 0);
    }
}

TEST_F(Pipeline, AnInputThatLinksToTheOutputIsRefusedToo) {
    const fs::path target = dir_ / "real.mov";
    writeFile(target, "the only copy");
    fs::create_symlink(target, dir_ / "clip.mov");
    output_ = target.string();
    Scenario scenario;
    scenario.input = (dir_ / "clip.mov").string();
    const ChildOutcome outcome = run(scenario);
    EXPECT_EQ(outcome.stderrText,
              kHeader + "error output would overwrite the input " + scenario.input + "\n");
    EXPECT_EQ(readFile(target), "the only copy");
}

}  // namespace
}  // namespace figsplit
