#include "video_fakes.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace figsplit::testing {

namespace {

class FakeReader : public MovieReader {
  public:
    explicit FakeReader(const FakeMovieScript& script) : script_(script) {}

    bool start() override {
        if (!script_.start) {
            status_ = ReaderStatus::failed;
            return false;
        }
        status_ = ReaderStatus::reading;
        return true;
    }

    bool nextSample(DecodedSample& sample) override {
        if (status_ != ReaderStatus::reading) return false;
        if (script_.failAfter >= 0 && next_ == static_cast<size_t>(script_.failAfter)) {
            status_ = ReaderStatus::failed;
            return false;
        }
        if (next_ == script_.samples.size()) {
            status_ = ReaderStatus::completed;
            return false;
        }
        const FakeSample& fake = script_.samples[next_];
        sample.pts = fake.pts;
        sample.image = fake.hasImage ? fakeFrame(static_cast<int64_t>(next_)) : FramePtr{};
        ++next_;
        return true;
    }

    ReaderStatus status() const override { return status_; }
    std::optional<std::string> error() const override {
        if (status_ == ReaderStatus::failed) return script_.readerError;
        return std::nullopt;
    }

  private:
    FakeMovieScript script_;
    size_t next_ = 0;
    ReaderStatus status_ = ReaderStatus::unknown;
};

class FakeAsset : public MovieAsset {
  public:
    explicit FakeAsset(const FakeMovieScript& script) : script_(script) {}

    bool loadVideoTracks(std::vector<TrackId>& tracks, std::string& error) override {
        if (!script_.tracksLoad) {
            error = "not a movie";
            return false;
        }
        tracks = script_.tracks;
        return true;
    }
    bool loadDuration(MediaTime& duration, std::string& error) override {
        if (!script_.durationLoads) {
            error = "no duration";
            return false;
        }
        duration = script_.duration;
        return true;
    }
    bool loadPreferredTransform(TrackId, AffineTransform& transform, std::string& error) override {
        if (!script_.transformLoads) {
            error = "no matrix";
            return false;
        }
        transform = script_.transform;
        return true;
    }
    bool loadNaturalSize(TrackId, Size2D& size, std::string& error) override {
        if (!script_.sizeLoads) {
            error = "no size";
            return false;
        }
        size = script_.size;
        return true;
    }
    std::unique_ptr<MovieReader> makeReader(TrackId, std::string& error) override {
        if (!script_.readerMade) {
            error = script_.readerMakeError;
            return nullptr;
        }
        return std::make_unique<FakeReader>(script_);
    }

  private:
    FakeMovieScript script_;
};

class FakePool : public PixelBufferPool {
  public:
    FakePool(const FakeWriterScript& script, int64_t width, int64_t height)
        : script_(script), width_(width), height_(height) {}

    PixelBufferRef takeBuffer() override {
        if (script_.pool == FakeWriterScript::Pool::empty) return nullptr;
        const int64_t stride = 4 * width_ + script_.padding;
        struct Owned {
            PixelBuffer buffer;
            std::vector<uint8_t> bytes;
        };
        auto owned = std::make_shared<Owned>();
        owned->bytes.assign(static_cast<size_t>(stride * height_), kSentinel);
        owned->buffer = PixelBuffer{width_, height_, stride, owned->bytes.data()};
        return PixelBufferRef(owned, &owned->buffer);
    }

  private:
    FakeWriterScript script_;
    int64_t width_, height_;
};

class FakeWriter : public MatteWriter {
  public:
    FakeWriter(const FakeWriterScript& script, const MatteWriterSettings& settings,
               Journal* journal)
        : script_(script),
          pool_(script, settings.width, settings.height),
          journal_(journal),
          path_(settings.path) {}
    ~FakeWriter() override {
        if (finisher_.joinable()) finisher_.join();
        if (file_ != nullptr) std::fclose(file_);
    }

    bool open() override {
        if (!script_.open) {
            status_ = WriterStatus::failed;
            return false;
        }
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            openError_ = std::strerror(errno);
            status_ = WriterStatus::failed;
            return false;
        }
        status_ = WriterStatus::writing;
        return true;
    }
    void beginTimeline(MediaTime firstPts) override {
        journal_->sessionStarted = true;
        journal_->sessionStart = firstPts;
    }
    PixelBufferPool* bufferPool() override {
        return script_.pool == FakeWriterScript::Pool::none ? nullptr : &pool_;
    }
    bool readyForMore() override {
        ++journal_->readyPolls;
        if (busyLeft_ > 0) {
            --busyLeft_;
            return false;
        }
        return true;
    }
    bool append(PixelBufferRef buffer, MediaTime pts) override {
        const int index = appends_++;
        busyLeft_ = script_.busyPolls;
        if (index == script_.raiseOnAppend) ::raise(script_.raiseSignal);
        if (index == script_.refuseAppend) {
            status_ = WriterStatus::failed;
            return false;
        }
        std::fputs("frame\n", file_);
        std::fflush(file_);
        if (journal_->appended < kMaxJournalFrames) {
            const int slot = journal_->appended;
            journal_->appendedPts[slot] = pts;
            journal_->appendedFirst[slot] = buffer->base[0];
            journal_->appendedFlat[slot] = inspect(*buffer, buffer->base[0]);
        }
        ++journal_->appended;
        return true;
    }
    void endInput() override { journal_->markedFinished = true; }
    void finish(std::function<void()> completion) override {
        // The completion comes from another thread, as it does from the real encoder.
        finisher_ = std::thread([this, completion = std::move(completion)] {
            if (file_ != nullptr) std::fclose(file_);
            file_ = nullptr;
            status_ = script_.finishStatus;
            journal_->finished = true;
            completion();
        });
    }
    WriterStatus status() const override { return status_; }
    std::optional<std::string> error() const override {
        if (status_ != WriterStatus::failed) return std::nullopt;
        if (openError_) return openError_;
        return script_.error;
    }

  private:
    // Checks the frame's pixels (grey, opaque) and padding (untouched); true when every pixel
    // has the value `first`.
    bool inspect(const PixelBuffer& buffer, uint8_t first) {
        bool flat = true;
        for (int64_t y = 0; y < buffer.height; ++y) {
            const uint8_t* row = buffer.base + y * buffer.stride;
            for (int64_t x = 0; x < buffer.width; ++x) {
                const uint8_t* p = row + 4 * x;
                if (p[0] != p[1] || p[1] != p[2] || p[3] != 255) journal_->pixelsWellFormed = false;
                if (p[0] != first) flat = false;
            }
            for (int64_t i = 4 * buffer.width; i < buffer.stride; ++i) {
                if (row[i] != kSentinel) journal_->pixelsWellFormed = false;
            }
        }
        return flat;
    }

    FakeWriterScript script_;
    FakePool pool_;
    Journal* journal_;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::optional<std::string> openError_;
    WriterStatus status_ = WriterStatus::unknown;
    int appends_ = 0;
    int busyLeft_ = 0;
    std::thread finisher_;
};

class FakeSegmenter : public Segmenter {
  public:
    FakeSegmenter(const FakeSegmenterScript& script, Journal* journal)
        : script_(script), journal_(journal) {}

    ImageSize inputSize(int64_t width, int64_t height) const override {
        journal_->inputSizeAskedWidth = width;
        journal_->inputSizeAskedHeight = height;
        return script_.inputSize;
    }
    bool perform(const RgbImage& upright, GreyImage& matte, std::string& error) override {
        const int call = calls_++;
        if (journal_->performs < kMaxJournalFrames) {
            journal_->performedFrame[journal_->performs] = upright.pixels.at(0);
        }
        ++journal_->performs;
        if (script_.failOnCalls.contains(call)) {
            error = "perform failed";
            return false;
        }
        if (script_.emptyOnCalls.contains(call)) {
            matte = GreyImage{};
            return true;
        }
        matte.width = script_.matteWidth;
        matte.height = script_.matteHeight;
        matte.stride = script_.matteWidth;
        matte.bytes.assign(static_cast<size_t>(matte.width * matte.height),
                           static_cast<uint8_t>(40 + upright.pixels.at(0)));
        return true;
    }

  private:
    FakeSegmenterScript script_;
    Journal* journal_;
    int calls_ = 0;
};

}  // namespace

VideoServices fakeServices(const FakeMovieScript& movie, const FakeWriterScript& writer,
                           const FakeSegmenterScript& segmenter, Journal* journal) {
    VideoServices services;
    services.openAsset = [movie](const std::string&) -> std::unique_ptr<MovieAsset> {
        return std::make_unique<FakeAsset>(movie);
    };
    services.makeWriter = [writer, journal](const MatteWriterSettings& settings,
                                            std::string& error) -> std::unique_ptr<MatteWriter> {
        struct stat st {};
        journal->outputExistedWhenWriterMade = ::lstat(settings.path.c_str(), &st) == 0;
        std::snprintf(journal->writerPath, sizeof journal->writerPath, "%s", settings.path.c_str());
        ++journal->writersMade;
        journal->writerWidth = settings.width;
        journal->writerHeight = settings.height;
        if (!writer.made) {
            error = writer.makeError;
            return nullptr;
        }
        return std::make_unique<FakeWriter>(writer, settings, journal);
    };
    services.makeSegmenter = [segmenter, journal](Quality, bool) {
        SegmenterResult result;
        if (segmenter.loads) {
            result.segmenter = std::make_unique<FakeSegmenter>(segmenter, journal);
        } else {
            result.error = segmenter.loadError;
        }
        return result;
    };
    services.frameToUpright = [journal](const AVFrame& frame, Orientation orientation,
                                        int64_t width, int64_t height, FrameScaler&,
                                        RgbImage& upright, std::string&) {
        ++journal->conversions;
        journal->lastOrientation = orientation;
        journal->convertedWidth = width;
        journal->convertedHeight = height;
        upright.width = width;
        upright.height = height;
        upright.pixels.assign(static_cast<size_t>(width * height * 3),
                              static_cast<uint8_t>(frame.pts));
        return true;
    };
    return services;
}

std::vector<FakeSample> framesAt(int64_t first, int64_t count, int32_t timescale) {
    std::vector<FakeSample> samples;
    for (int64_t i = first; i < first + count; ++i) {
        samples.push_back(FakeSample{MediaTime{i, timescale, MediaTime::kValid, 0}, true});
    }
    return samples;
}

FramePtr fakeFrame(int64_t index) {
    FramePtr frame(av_frame_alloc());
    frame->pts = index;
    return frame;
}

}  // namespace figsplit::testing
