// The movie asset: what the probe learns about a movie file through libavformat.
//
// The movie is opened once. Its reader takes over the open demuxer, packets read while probing
// included, rather than opening the path again: a FIFO or a pipe (/dev/stdin, /proc/self/fd/N)
// cannot be opened a second time, and a second open would wait for a writer that has gone.
#include <cstring>

#include "platform/media/av_handles.h"
#include "platform/media/movie.h"
#include "platform/media/movie_reader.h"

namespace figsplit {
namespace {

class FileMovieAsset final : public MovieAsset {
  public:
    explicit FileMovieAsset(std::string path) : path_(std::move(path)) {}

    bool loadVideoTracks(std::vector<TrackId>& tracks, std::string& error) override {
        tracks.clear();
        if (!open(error)) return false;
        for (unsigned i = 0; i < context_->nb_streams; ++i) {
            if (isVideoTrack(*context_->streams[i])) tracks.push_back(static_cast<TrackId>(i));
        }
        return true;
    }

    bool loadDuration(MediaTime& duration, std::string& error) override {
        if (!open(error)) return false;
        if (context_->duration == AV_NOPTS_VALUE || context_->duration < 0) {
            error = "the movie's duration is unknown";
            return false;
        }
        duration = MediaTime{context_->duration, AV_TIME_BASE, MediaTime::kValid, 0};
        return true;
    }

    bool loadPreferredTransform(TrackId track, AffineTransform& transform,
                                std::string& error) override {
        const AVStream* stream = videoStream(track, error);
        if (stream == nullptr) return false;
        transform = AffineTransform{};
        size_t size = 0;
        const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (data == nullptr) return true;
        if (size < 9 * sizeof(int32_t)) {
            error = "the track's display matrix is truncated";
            return false;
        }
        int32_t matrix[9];
        std::memcpy(matrix, data, sizeof matrix);
        // The linear part and the translation are 16.16 fixed point (the third column, which
        // is 2.30, plays no part in an affine transform).
        constexpr double kOne = 65536.0;
        transform.a = matrix[0] / kOne;
        transform.b = matrix[1] / kOne;
        transform.c = matrix[3] / kOne;
        transform.d = matrix[4] / kOne;
        transform.tx = matrix[6] / kOne;
        transform.ty = matrix[7] / kOne;
        return true;
    }

    bool loadNaturalSize(TrackId track, Size2D& size, std::string& error) override {
        const AVStream* stream = videoStream(track, error);
        if (stream == nullptr) return false;
        size = Size2D{static_cast<double>(stream->codecpar->width),
                      static_cast<double>(stream->codecpar->height)};
        return true;
    }

    // The one reader of the asset: it takes the open movie with it, so later loads and a
    // second reader fail.
    std::unique_ptr<MovieReader> makeReader(TrackId track, std::string& error) override {
        if (videoStream(track, error) == nullptr) return nullptr;
        handedOver_ = true;
        return media::makeMovieReader(media::OpenedMovie{std::move(context_), std::move(stop_)},
                                      track, error);
    }

  private:
    static bool isVideoTrack(const AVStream& stream) {
        // Cover art is stored as a video stream holding one attached picture.
        return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
               !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
    }

    // The file is opened by the first load, on whatever thread runs it, and kept open.
    bool open(std::string& error) {
        if (handedOver_) {
            error = "the movie is being read by its reader";
            return false;
        }
        if (!attempted_) {
            attempted_ = true;
            stop_ = std::make_unique<std::atomic<bool>>(false);
            const AVIOInterruptCB interrupt{&media::stopRequested, stop_.get()};
            context_ = media::openInput(path_, &interrupt, openError_);
        }
        if (!context_) error = openError_;
        return context_ != nullptr;
    }

    const AVStream* videoStream(TrackId track, std::string& error) {
        if (!open(error)) return nullptr;
        if (track < 0 || static_cast<unsigned>(track) >= context_->nb_streams ||
            !isVideoTrack(*context_->streams[track])) {
            error = "no video track " + std::to_string(track);
            return nullptr;
        }
        return context_->streams[track];
    }

    std::string path_;
    media::InputContextPtr context_;
    std::unique_ptr<std::atomic<bool>> stop_;  // the reader's, once it takes the movie
    std::string openError_;
    bool attempted_ = false;
    bool handedOver_ = false;
};

}  // namespace

std::unique_ptr<MovieAsset> openMovieAsset(const std::string& path) {
    media::quietLibraryLog();
    return std::make_unique<FileMovieAsset>(path);
}

}  // namespace figsplit
