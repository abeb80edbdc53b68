#include "platform/media/av_handles.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/media/frame_image.h"
#include "platform/media/movie.h"

namespace figsplit {

void AVFrameDeleter::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}

void SwsContextDeleter::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

namespace media {

void quietLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

InputContextPtr openInput(const std::string& path, const AVIOInterruptCB* interrupt,
                          std::string& error) {
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        error = errorText(AVERROR(ENOMEM));
        return nullptr;
    }
    if (interrupt != nullptr) raw->interrupt_callback = *interrupt;
    // On failure avformat_open_input frees the context itself.
    int result = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        error = errorText(result);
        return nullptr;
    }
    InputContextPtr context(raw);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) {
        error = errorText(result);
        return nullptr;
    }
    return context;
}

}  // namespace media
}  // namespace figsplit
