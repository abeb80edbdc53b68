#include "media_fixtures.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

extern "C" {
#include <libavformat/avformat.h>
}

namespace figsplit::testing {

bool remuxWithMatrix(const std::string& input, const std::string& output,
                     const std::array<int32_t, 9>& matrix) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, input.c_str(), nullptr, nullptr) < 0) return false;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> inOwner(&in,
                                                                           avformat_close_input);
    if (avformat_find_stream_info(in, nullptr) < 0) return false;
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, "mov", output.c_str()) < 0) return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> outOwner(
        out, [](AVFormatContext* c) {
            avio_closep(&c->pb);
            avformat_free_context(c);
        });
    bool matrixSet = false;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(out, nullptr);
        if (stream == nullptr) return false;
        if (avcodec_parameters_copy(stream->codecpar, in->streams[i]->codecpar) < 0) return false;
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[i]->time_base;
        if (!matrixSet && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            uint8_t* data =
                av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
            if (data == nullptr) return false;
            std::memcpy(data, matrix.data(), sizeof(int32_t) * 9);
            matrixSet = true;
        }
    }
    if (avio_open(&out->pb, output.c_str(), AVIO_FLAG_WRITE) < 0) return false;
    if (avformat_write_header(out, nullptr) < 0) return false;
    AVPacket* packet = av_packet_alloc();
    std::unique_ptr<AVPacket*, void (*)(AVPacket**)> packetOwner(&packet, av_packet_free);
    while (av_read_frame(in, packet) >= 0) {
        av_packet_rescale_ts(packet, in->streams[packet->stream_index]->time_base,
                             out->streams[packet->stream_index]->time_base);
        if (av_interleaved_write_frame(out, packet) < 0) return false;
    }
    return av_write_trailer(out) >= 0;
}

void writeRandomFile(const std::string& path, size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::ofstream file(path, std::ios::binary);
    for (size_t i = 0; i < bytes; ++i) file.put(static_cast<char>(random() & 0xFF));
}

}  // namespace figsplit::testing
