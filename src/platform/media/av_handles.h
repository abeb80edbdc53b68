#pragma once
// Owners for the FFmpeg handles used by the media service, and the library's error text.
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace figsplit::media {

struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// An output context owns its file through `pb`, which is closed here too.
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const {
        if (context->pb != nullptr && !(context->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// Silences FFmpeg's own logging (the program's standard error carries only its status lines;
// failures reach the caller as results with the library's text). Idempotent.
void quietLibraryLog();

// The library's own description of an AVERROR code.
std::string errorText(int code);

// Opens `path` for reading and reads the stream information. On failure returns null and sets
// `error` to the library's text. `interrupt` (may be null) lets a reader thread abort blocking
// reads.
InputContextPtr openInput(const std::string& path, const AVIOInterruptCB* interrupt,
                          std::string& error);

}  // namespace figsplit::media
