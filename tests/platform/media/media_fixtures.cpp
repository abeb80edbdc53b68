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

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "figsplit-media-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -y -hide_banner -loglevel error " + arguments;
    return std::system(command.c_str()) == 0;
}

std::string commandOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    std::string output;
    std::array<char, 4096> chunk;
    size_t got = 0;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0)
        output.append(chunk.data(), got);
    return output;
}

Rational toRational(const MediaTime& time) {
    return Rational{time.value, time.timescale};
}

namespace {

std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> result;
    std::stringstream stream(line);
    std::string item;
    while (std::getline(stream, item, '|')) {
        const size_t equals = item.find('=');
        if (equals != std::string::npos) result[item.substr(0, equals)] = item.substr(equals + 1);
    }
    return result;
}

}  // namespace

std::vector<ProbedFrame> probeFrames(const std::string& path) {
    const std::string base = "ffprobe -v error -select_streams v:0 -of compact=p=0 ";
    const std::string timeBase =
        commandOutput(base + "-show_entries stream=time_base '" + path + "'");
    Rational unit{1, 1};
    if (sscanf(fields(timeBase.substr(0, timeBase.find('\n')))["time_base"].c_str(), "%ld/%ld",
               &unit.num, &unit.den) != 2) {
        return {};
    }
    std::stringstream lines(commandOutput(
        base + "-show_entries frame=key_frame,pts,best_effort_timestamp '" + path + "'"));
    std::vector<ProbedFrame> frames;
    std::string line;
    while (std::getline(lines, line)) {
        auto values = fields(line);
        std::string pts = values["pts"];
        if (pts.empty() || pts == "N/A") pts = values["best_effort_timestamp"];
        if (pts.empty() || pts == "N/A") continue;
        frames.push_back(
            {Rational{std::stoll(pts) * unit.num, unit.den}, values["key_frame"] == "1"});
    }
    return frames;
}

std::map<std::string, std::string> probeFields(const std::string& path) {
    std::stringstream lines(
        commandOutput("ffprobe -v error -select_streams v:0 -show_streams "
                      "-show_format '" +
                      path + "'"));
    std::map<std::string, std::string> result;
    std::string line, prefix;
    bool streamSeen = false, skip = false;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            prefix.clear();
            skip = streamSeen;
            streamSeen = true;
            continue;
        }
        if (line == "[FORMAT]") {
            prefix = "format.";
            skip = false;
            continue;
        }
        const size_t equals = line.find('=');
        if (!skip && equals != std::string::npos) {
            result.emplace(prefix + line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return result;
}

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
