// The matte writer: BGRA frames -> full-range 4:2:0 -> H.264 (libx264) in a QuickTime movie.
// Its buffers come from a BufferPool (buffer_pool.h), its key frames follow key_frames.h.
//
// The caller's thread only checks and queues frames; a worker thread converts, encodes and
// muxes them, behind a queue of three frames that makes "ready for more media data" real
// back-pressure.
//
// Times: the stream's time base is 1 / the timescale of the session's first time, and each
// frame's value is its presentation time in it, so the file holds the source's times. A time
// with another timescale is rescaled to the session's, rounding to the nearest tick. The movie
// timescale equals the session's timescale, so the edit list that shifts a late first frame
// (its empty edit) is exact too. There are no B-frames: decode order is presentation order.
// Times must increase from frame to frame and not come before the session's start; an append
// that breaks this fails with a message saying so.
//
// A movie cannot show a frame before time zero: given a session that starts before zero (a
// Matroska file whose first frames lie at -1.5 s), the muxer would keep those frames but hide
// them behind its edit list, and players would show fewer frames than were written. So such a
// session is shifted as a whole: every time moves by the same amount, the first frame to zero,
// and every frame stays visible with its own duration. Sessions starting at or after zero keep
// their times exactly.
//
// Colour: BT.601 coefficients at full range, tagged so in the stream; a grey pixel v becomes
// Y = v with neutral chroma, so a decoder that honours the tag returns v.
//
// Key frames: by time (key_frames.h). A frame's key-frame decision needs the time of the frame
// after it, so the worker holds one frame back until it knows the next one. The last frame
// lasts as long as the one before it; a lone frame lasts 1/30 s.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <thread>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/media/av_handles.h"
#include "platform/media/bounded_queue.h"
#include "platform/media/buffer_pool.h"
#include "platform/media/frame_image.h"
#include "platform/media/key_frames.h"
#include "platform/media/movie.h"

namespace figsplit {
namespace {

constexpr size_t kQueuedFrames = 3;
constexpr int64_t kMaxSide = 16384;
constexpr int64_t kAverageBitRate = 6'000'000;
constexpr const char* kPreset = "veryfast";

// One entry of the encoder's queue: a frame at `pts` (session ticks), or the request to finish.
struct WriterItem {
    PixelBufferRef buffer;
    int64_t pts = 0;
    bool finish = false;
};

class FileMatteWriter final : public MatteWriter {
  public:
    explicit FileMatteWriter(const MatteWriterSettings& settings)
        : settings_(settings), pool_(settings.width, settings.height), queue_(kQueuedFrames) {}

    ~FileMatteWriter() override {
        abandoned_ = true;
        queue_.close();
        if (worker_.joinable()) worker_.join();
    }

    bool prepare(std::string& error) {
        encoderCodec_ = avcodec_find_encoder_by_name("libx264");
        if (encoderCodec_ == nullptr) {
            error = media::errorText(AVERROR_ENCODER_NOT_FOUND);
            return false;
        }
        AVFormatContext* raw = nullptr;
        int result = avformat_alloc_output_context2(&raw, nullptr, "mov", settings_.path.c_str());
        if (result < 0 || raw == nullptr) {
            error = media::errorText(result < 0 ? result : AVERROR_MUXER_NOT_FOUND);
            return false;
        }
        output_.reset(raw);
        return true;
    }

    bool open() override {
        if (status_ != WriterStatus::unknown) return false;
        int result = avio_open(&output_->pb, settings_.path.c_str(), AVIO_FLAG_WRITE);
        if (result < 0) return fail(media::errorText(result));
        try {
            worker_ = std::thread([this] { run(); });
        } catch (const std::system_error& e) {
            return fail(e.what());
        }
        status_ = WriterStatus::writing;
        return true;
    }

    void beginTimeline(MediaTime firstPts) override {
        if (status_ != WriterStatus::writing || sessionStarted_) return;
        sessionStarted_ = true;
        if (!firstPts.valid()) {
            fail("the session's start time is not valid");
            return;
        }
        timeBase_ = AVRational{1, firstPts.timescale};
        sessionStart_ = firstPts.value;
        shift_ = 0;
        if (sessionStart_ < 0 && __builtin_sub_overflow(int64_t{0}, sessionStart_, &shift_)) {
            fail("the session's start time is not valid");
        }
    }

    PixelBufferPool* bufferPool() override { return &pool_; }

    bool readyForMore() override {
        // A failed writer says "ready" so that the caller's next append learns of the failure.
        return status_ != WriterStatus::writing || !queue_.full();
    }

    bool append(PixelBufferRef buffer, MediaTime pts) override {
        if (status_ != WriterStatus::writing) {
            if (!error()) fail("the writer is not writing");
            return false;
        }
        if (!sessionStarted_) return fail("no session was started");
        if (inputFinished_) return fail("the input was marked as finished");
        if (!buffer || buffer->base == nullptr || buffer->width != settings_.width ||
            buffer->height != settings_.height || buffer->stride < buffer->width * 4) {
            return fail("the frame is not a " + std::to_string(settings_.width) + "x" +
                        std::to_string(settings_.height) + " BGRA buffer");
        }
        int64_t ticks = 0;
        if (!toSessionTicks(pts, ticks)) return fail("the frame's time is not valid");
        if (ticks < sessionStart_) {
            return fail("frame time " + timeText(ticks) + " is before the session start " +
                        timeText(sessionStart_));
        }
        if (appended_ > 0 && ticks <= lastPts_) {
            return fail("frame times must increase: " + timeText(ticks) + " after " +
                        timeText(lastPts_));
        }
        int64_t shifted = 0;
        if (__builtin_add_overflow(ticks, shift_, &shifted)) {
            return fail("frame time " + timeText(ticks) + " does not fit once shifted");
        }
        if (!queue_.push(WriterItem{std::move(buffer), shifted, false})) {
            return fail("the encoder has stopped");
        }
        lastPts_ = ticks;
        ++appended_;
        return status_ == WriterStatus::writing;
    }

    void endInput() override { inputFinished_ = true; }

    // The completion runs on the encoder's thread (or on the caller's, when there is nothing to
    // finish); it must not destroy the writer.
    void finish(std::function<void()> completion) override {
        if (status_ == WriterStatus::writing && appended_ == 0) fail("no frames were written");
        if (status_ != WriterStatus::writing || finishRequested_) {
            if (completion) completion();
            return;
        }
        finishRequested_ = true;
        inputFinished_ = true;
        completion_ = std::move(completion);
        if (!queue_.push(WriterItem{nullptr, 0, true})) {
            fail("the encoder has stopped");
            if (completion_) completion_();
        }
    }

    WriterStatus status() const override { return status_; }

    std::optional<std::string> error() const override {
        std::lock_guard lock(errorMutex_);
        return error_;
    }

  private:
    // Records the first failure; the writer stays failed. Returns false for convenience.
    bool fail(const std::string& text) {
        {
            std::lock_guard lock(errorMutex_);
            if (!error_) error_ = text;
        }
        status_ = WriterStatus::failed;
        return false;
    }

    bool toSessionTicks(const MediaTime& time, int64_t& ticks) const {
        if (!time.valid()) return false;
        if (time.timescale == timeBase_.den) {
            ticks = time.value;
            return true;
        }
        ticks = av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, timeBase_,
                                 AV_ROUND_NEAR_INF);
        return ticks != AV_NOPTS_VALUE;
    }

    std::string timeText(int64_t ticks) const {
        return std::to_string(ticks) + "/" + std::to_string(timeBase_.den) + " s";
    }

    // Opens the encoder and writes the movie's header, before the first frame is encoded.
    // x264 takes the frame rate as its first guess of the bits a frame may spend (the rate
    // control then follows the real times), so it gets the rate of the first two frames.
    bool openEncoderAndMuxer(int64_t firstInterval, std::string& error) {
        AVRational frameRate{30, 1};
        if (firstInterval > 0) {
            av_reduce(&frameRate.num, &frameRate.den, timeBase_.den, firstInterval, INT_MAX);
            if (av_cmp_q(frameRate, AVRational{1, 1}) < 0) frameRate = AVRational{1, 1};
            if (av_cmp_q(frameRate, AVRational{1000, 1}) > 0) frameRate = AVRational{1000, 1};
        }
        encoder_.reset(avcodec_alloc_context3(encoderCodec_));
        packet_.reset(av_packet_alloc());
        picture_.reset(av_frame_alloc());
        if (!encoder_ || !packet_ || !picture_) {
            error = media::errorText(AVERROR(ENOMEM));
            return false;
        }
        AVCodecContext& encoder = *encoder_;
        encoder.width = static_cast<int>(settings_.width);
        encoder.height = static_cast<int>(settings_.height);
        encoder.pix_fmt = AV_PIX_FMT_YUV420P;
        encoder.time_base = timeBase_;
        encoder.sample_aspect_ratio = AVRational{1, 1};
        encoder.bit_rate = kAverageBitRate;
        // A loose cap around the average: short peaks are allowed, the average holds.
        encoder.rc_max_rate = 2 * kAverageBitRate;
        encoder.rc_buffer_size = static_cast<int>(2 * kAverageBitRate);
        encoder.max_b_frames = 0;
        // Key frames are placed by time (see the top of this file); the encoder adds none of
        // its own by frame count.
        encoder.gop_size = 1 << 30;
        encoder.color_range = AVCOL_RANGE_JPEG;
        encoder.colorspace = AVCOL_SPC_SMPTE170M;
        encoder.thread_count = 0;
        encoder.framerate = frameRate;
        if (output_->oformat->flags & AVFMT_GLOBALHEADER) {
            encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        AVDictionary* codecOptions = nullptr;
        av_dict_set(&codecOptions, "preset", kPreset, 0);
        av_dict_set(&codecOptions, "forced-idr", "1", 0);
        int result = avcodec_open2(&encoder, encoderCodec_, &codecOptions);
        av_dict_free(&codecOptions);
        if (result < 0) {
            error = media::errorText(result);
            return false;
        }

        picture_->format = AV_PIX_FMT_YUV420P;
        picture_->width = encoder.width;
        picture_->height = encoder.height;
        picture_->color_range = AVCOL_RANGE_JPEG;
        picture_->colorspace = AVCOL_SPC_SMPTE170M;
        result = av_frame_get_buffer(picture_.get(), 0);
        if (result < 0) {
            error = media::errorText(result);
            return false;
        }
        converter_.reset(sws_getContext(encoder.width, encoder.height, AV_PIX_FMT_BGRA,
                                        encoder.width, encoder.height, AV_PIX_FMT_YUV420P,
                                        SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!converter_) {
            error = "cannot convert BGRA to YUV 4:2:0";
            return false;
        }
        const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(converter_.get(), bt601, 1, bt601, 1, 0, 1 << 16, 1 << 16);

        stream_ = avformat_new_stream(output_.get(), nullptr);
        if (stream_ == nullptr) {
            error = media::errorText(AVERROR(ENOMEM));
            return false;
        }
        result = avcodec_parameters_from_context(stream_->codecpar, &encoder);
        if (result < 0) {
            error = media::errorText(result);
            return false;
        }
        stream_->time_base = timeBase_;
        AVDictionary* muxerOptions = nullptr;
        av_dict_set_int(&muxerOptions, "movie_timescale", timeBase_.den, 0);
        result = avformat_write_header(output_.get(), &muxerOptions);
        av_dict_free(&muxerOptions);
        if (result < 0) {
            error = media::errorText(result);
            return false;
        }
        return true;
    }

    // The worker: holds one frame back until the next one (or the finish) tells how long it
    // lasts, then encodes it. After a failure it only drains the queue.
    void run() {
        WriterItem pending;  // the frame held back; none while its buffer is null
        int64_t previousDuration = 0;
        for (;;) {
            std::optional<WriterItem> item = queue_.pop();
            if (!item || abandoned_) {  // the writer is being destroyed
                release(pending);
                if (item) release(*item);
                return;
            }
            const bool working = status_ == WriterStatus::writing;
            if (item->finish) {
                if (working && pending.buffer) {
                    const int64_t lastDuration = previousDuration > 0
                                                     ? previousDuration
                                                     : std::max<int64_t>(1, timeBase_.den / 30);
                    encode(pending, pending.pts + lastDuration);
                }
                release(pending);
                if (status_ == WriterStatus::writing) finishMovie();
                if (completion_) completion_();
                return;
            }
            if (working && pending.buffer) {
                previousDuration = item->pts - pending.pts;
                encode(pending, item->pts);
            }
            release(pending);
            pending = std::move(*item);
        }
    }

    void release(WriterItem& item) {
        if (item.buffer) pool_.giveBack(item.buffer);
    }

    // Converts and encodes one frame whose successor begins at `next`, then writes the packets
    // the encoder has ready.
    void encode(const WriterItem& item, int64_t next) {
        if (!encoder_) {
            std::string error;
            if (!openEncoderAndMuxer(next - item.pts, error)) {
                fail(error);
                return;
            }
        }
        const bool key = takeKeyFrame(keyFrames_, item.pts, next, timeBase_.den);
        int result = av_frame_make_writable(picture_.get());
        if (result < 0) {
            fail(media::errorText(result));
            return;
        }
        const uint8_t* source[4] = {item.buffer->base, nullptr, nullptr, nullptr};
        const int sourceStride[4] = {static_cast<int>(item.buffer->stride), 0, 0, 0};
        sws_scale(converter_.get(), source, sourceStride, 0, static_cast<int>(settings_.height),
                  picture_->data, picture_->linesize);
        picture_->pts = item.pts;
        picture_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        rememberDuration(item.pts, next - item.pts);
        result = avcodec_send_frame(encoder_.get(), picture_.get());
        if (result < 0) {
            fail(media::errorText(result));
            return;
        }
        writePackets();
    }

    void finishMovie() {
        if (!encoder_) {
            fail("no frames were written");
            return;
        }
        int result = avcodec_send_frame(encoder_.get(), nullptr);
        if (result < 0) {
            fail(media::errorText(result));
            return;
        }
        if (!writePackets()) return;
        result = av_write_trailer(output_.get());
        if (result < 0) {
            fail(media::errorText(result));
            return;
        }
        result = avio_closep(&output_->pb);
        if (result < 0) {
            fail(media::errorText(result));
            return;
        }
        status_ = WriterStatus::completed;
    }

    // Writes every packet the encoder has ready; false after a failure.
    bool writePackets() {
        for (;;) {
            int result = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
            if (result < 0) return fail(media::errorText(result));
            packet_->duration = takeDuration(packet_->pts);
            packet_->stream_index = stream_->index;
            av_packet_rescale_ts(packet_.get(), timeBase_, stream_->time_base);
            result = av_interleaved_write_frame(output_.get(), packet_.get());
            if (result < 0) {
                av_packet_unref(packet_.get());
                return fail(media::errorText(result));
            }
        }
    }

    // Frame durations wait here until the encoder returns the frame's packet. Packets come out
    // in the order the frames went in, so this is a FIFO; its storage is kept and compacted.
    void rememberDuration(int64_t pts, int64_t duration) {
        if (durationsHead_ > 64 && durationsHead_ * 2 > durations_.size()) {
            durations_.erase(durations_.begin(),
                             durations_.begin() + static_cast<std::ptrdiff_t>(durationsHead_));
            durationsHead_ = 0;
        }
        durations_.emplace_back(pts, duration);
    }

    int64_t takeDuration(int64_t pts) {
        while (durationsHead_ < durations_.size()) {
            const auto [framePts, duration] = durations_[durationsHead_++];
            if (framePts == pts) return duration;
        }
        return 0;
    }

    const MatteWriterSettings settings_;
    BufferPool pool_;
    media::BoundedQueue<WriterItem> queue_;
    const AVCodec* encoderCodec_ = nullptr;
    media::OutputContextPtr output_;
    media::CodecContextPtr encoder_;
    media::PacketPtr packet_;
    FramePtr picture_;
    std::unique_ptr<SwsContext, SwsContextDeleter> converter_;
    AVStream* stream_ = nullptr;
    AVRational timeBase_{1, 1};
    int64_t sessionStart_ = 0;
    int64_t shift_ = 0;  // added to every time of a session that starts before zero
    bool sessionStarted_ = false;
    bool inputFinished_ = false;
    bool finishRequested_ = false;
    int64_t appended_ = 0;
    int64_t lastPts_ = 0;
    // Worker state.
    KeyFrameState keyFrames_;
    std::vector<std::pair<int64_t, int64_t>> durations_;
    size_t durationsHead_ = 0;
    std::function<void()> completion_;
    std::thread worker_;
    std::atomic<bool> abandoned_ = false;
    std::atomic<WriterStatus> status_ = WriterStatus::unknown;
    mutable std::mutex errorMutex_;
    std::optional<std::string> error_;
};

}  // namespace

std::unique_ptr<MatteWriter> makeMatteWriter(const MatteWriterSettings& settings,
                                             std::string& error) {
    media::quietLibraryLog();
    // 4:2:0 needs even sides; the cap keeps every size computation far from overflow.
    if (settings.width < 2 || settings.height < 2 || settings.width > kMaxSide ||
        settings.height > kMaxSide || settings.width % 2 != 0 || settings.height % 2 != 0) {
        error = "unsupported frame size " + std::to_string(settings.width) + "x" +
                std::to_string(settings.height);
        return nullptr;
    }
    auto writer = std::make_unique<FileMatteWriter>(settings);
    if (!writer->prepare(error)) return nullptr;
    return writer;
}

}  // namespace figsplit
