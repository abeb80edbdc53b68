// The decoding reader. A worker thread demuxes and decodes the track into a queue of three
// frames, so decoding overlaps the caller's work on the previous frame; the caller takes the
// frames in the order the decoder gives them (presentation order). The queue changes no
// output: the status turns completed or failed only when the caller reaches the end or the
// failure, after every frame decoded before it.
#include "platform/media/movie_reader.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/media/av_handles.h"
#include "platform/media/bounded_queue.h"

namespace figsplit::media {
namespace {

constexpr size_t kQueuedFrames = 3;

// What the worker hands over: a frame, or the end (error 0 at end of file, else the failure).
struct ReaderItem {
    FramePtr frame;
    MediaTime pts;
    int error = 0;
};

// Presentation times in the stream's time base, as media times.
class FrameClock {
  public:
    FrameClock(AVRational timeBase, AVRational frameRate) : timeBase_(timeBase) {
        if (frameRate.num > 0 && frameRate.den > 0) {
            period_ = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(frameRate), timeBase));
        }
    }

    // The frame's own time (its PTS, else the decoder's best guess). A stream that carries no
    // times at all (a raw elementary stream) gets them from its frame rate: the first frame at
    // zero, each other one period after the one before. Invalid when neither is known or the
    // value does not fit.
    MediaTime timeOf(const AVFrame& frame) {
        int64_t ticks = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
        if (ticks == AV_NOPTS_VALUE && period_ > 0) ticks = hasLast_ ? last_ + period_ : 0;
        int64_t value = 0;
        if (ticks == AV_NOPTS_VALUE || timeBase_.num <= 0 || timeBase_.den <= 0 ||
            __builtin_mul_overflow(ticks, static_cast<int64_t>(timeBase_.num), &value)) {
            return MediaTime::invalid();
        }
        last_ = ticks;
        hasLast_ = true;
        return MediaTime{value, timeBase_.den, MediaTime::kValid, 0};
    }

  private:
    AVRational timeBase_;
    int64_t period_ = 0;  // one frame in time-base ticks; 0 when the rate is unknown
    int64_t last_ = 0;
    bool hasLast_ = false;
};

class FileMovieReader final : public MovieReader {
  public:
    FileMovieReader() : queue_(kQueuedFrames) {}

    ~FileMovieReader() override {
        if (stop_) *stop_ = true;
        queue_.close();
        if (worker_.joinable()) worker_.join();
    }

    bool open(OpenedMovie movie, int streamIndex, std::string& error) {
        format_ = std::move(movie.context);
        stop_ = std::move(movie.stop);
        if (!format_ || !stop_) {
            error = errorText(AVERROR(EINVAL));
            return false;
        }
        if (streamIndex < 0 || static_cast<unsigned>(streamIndex) >= format_->nb_streams) {
            error = "no video track " + std::to_string(streamIndex);
            return false;
        }
        streamIndex_ = streamIndex;
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            if (static_cast<int>(i) != streamIndex) format_->streams[i]->discard = AVDISCARD_ALL;
        }
        AVStream* stream = format_->streams[streamIndex];
        clock_.emplace(stream->time_base, av_guess_frame_rate(format_.get(), stream, nullptr));
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (codec == nullptr) {
            error = errorText(AVERROR_DECODER_NOT_FOUND);
            return false;
        }
        decoder_.reset(avcodec_alloc_context3(codec));
        packet_.reset(av_packet_alloc());
        if (!decoder_ || !packet_) {
            error = errorText(AVERROR(ENOMEM));
            return false;
        }
        int result = avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
        if (result >= 0) {
            decoder_->pkt_timebase = stream->time_base;
            decoder_->thread_count = 0;  // as many as the machine has
            decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
            result = avcodec_open2(decoder_.get(), codec, nullptr);
        }
        if (result < 0) {
            error = errorText(result);
            return false;
        }
        return true;
    }

    bool start() override {
        if (status_ != ReaderStatus::unknown) return false;
        try {
            worker_ = std::thread([this] { decodeAll(); });
        } catch (const std::system_error& e) {
            setError(e.what());
            status_ = ReaderStatus::failed;
            return false;
        }
        status_ = ReaderStatus::reading;
        return true;
    }

    bool nextSample(DecodedSample& sample) override {
        if (status_ != ReaderStatus::reading) return false;
        std::optional<ReaderItem> item = queue_.pop();
        if (item && item->frame) {
            sample.pts = item->pts;
            sample.image = std::move(item->frame);
            return true;
        }
        int error = item ? item->error : AVERROR_EXIT;
        if (error == 0) {
            status_ = ReaderStatus::completed;
        } else {
            setError(errorText(error));
            status_ = ReaderStatus::failed;
        }
        return false;
    }

    ReaderStatus status() const override { return status_; }

    std::optional<std::string> error() const override {
        std::lock_guard lock(errorMutex_);
        return error_;
    }

  private:
    void setError(std::string text) {
        std::lock_guard lock(errorMutex_);
        error_ = std::move(text);
    }

    // The worker: reads packets of the track, decodes them, and queues every frame; at the end
    // drains the decoder. Ends by queueing the end marker (or by returning when stopped).
    void decodeAll() {
        int result = 0;
        while (!*stop_) {
            result = av_read_frame(format_.get(), packet_.get());
            if (result < 0) break;
            if (packet_->stream_index == streamIndex_) {
                result = avcodec_send_packet(decoder_.get(), packet_.get());
                av_packet_unref(packet_.get());
                if (result < 0) break;
                if (!receiveFrames(result)) return;
                if (result < 0) break;
            } else {
                av_packet_unref(packet_.get());
            }
        }
        if (*stop_) return;
        if (result == AVERROR_EOF) {
            result = avcodec_send_packet(decoder_.get(), nullptr);
            if (result >= 0 && !receiveFrames(result)) return;
        }
        queue_.push(ReaderItem{nullptr, MediaTime::invalid(), result == AVERROR_EOF ? 0 : result});
    }

    // Queues every frame the decoder has ready. `result` becomes negative on a decoding
    // error; false when the reader is being destroyed.
    bool receiveFrames(int& result) {
        for (;;) {
            if (!spare_) spare_.reset(av_frame_alloc());
            if (!spare_) {
                result = AVERROR(ENOMEM);
                return true;
            }
            int received = avcodec_receive_frame(decoder_.get(), spare_.get());
            if (received == AVERROR(EAGAIN)) return true;
            if (received == AVERROR_EOF) {
                result = AVERROR_EOF;
                return true;
            }
            if (received < 0) {
                result = received;
                return true;
            }
            MediaTime pts = clock_->timeOf(*spare_);
            if (!queue_.push(ReaderItem{std::move(spare_), pts, 0})) return false;
        }
    }

    BoundedQueue<ReaderItem> queue_;
    std::unique_ptr<std::atomic<bool>> stop_;  // watched by the demuxer's interrupt callback
    InputContextPtr format_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    FramePtr spare_;  // the frame the decoder fills next
    int streamIndex_ = -1;
    std::optional<FrameClock> clock_;
    std::thread worker_;
    std::atomic<ReaderStatus> status_ = ReaderStatus::unknown;
    mutable std::mutex errorMutex_;
    std::optional<std::string> error_;
};

}  // namespace

int stopRequested(void* opaque) {
    return static_cast<const std::atomic<bool>*>(opaque)->load() ? 1 : 0;
}

std::unique_ptr<MovieReader> makeMovieReader(OpenedMovie movie, int streamIndex,
                                             std::string& error) {
    auto reader = std::make_unique<FileMovieReader>();
    if (!reader->open(std::move(movie), streamIndex, error)) return nullptr;
    return reader;
}

}  // namespace figsplit::media
