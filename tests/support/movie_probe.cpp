#include "support/movie_probe.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/processes.h"

namespace figsplit::testing {

namespace {

// "key=value" items separated by `separator` → map (the first occurrence of a key wins).
std::map<std::string, std::string> keyValues(const std::string& text, char separator) {
    std::map<std::string, std::string> values;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, separator)) {
        const size_t equals = item.find('=');
        if (equals != std::string::npos) {
            values.emplace(item.substr(0, equals), item.substr(equals + 1));
        }
    }
    return values;
}

std::string valueOf(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

}  // namespace

Rational toRational(const MediaTime& time) {
    return Rational{time.value, time.timescale};
}

std::vector<ProbedFrame> probeFrames(const std::string& path) {
    const std::string base = "ffprobe -v error -select_streams v:0 ";
    const auto stream = keyValues(
        commandOutput(base + "-show_entries stream=time_base -of default=nw=1 " + q(path)), '\n');
    Rational unit;
    if (std::sscanf(valueOf(stream, "time_base").c_str(), "%ld/%ld", &unit.num, &unit.den) != 2) {
        return {};
    }
    std::stringstream lines(commandOutput(
        base + "-show_entries frame=key_frame,pts,best_effort_timestamp -of compact=p=0 " +
        q(path)));
    std::vector<ProbedFrame> frames;
    std::string line;
    while (std::getline(lines, line)) {
        const auto values = keyValues(line, '|');
        std::string pts = valueOf(values, "pts");
        if (pts.empty() || pts == "N/A") pts = valueOf(values, "best_effort_timestamp");
        if (pts.empty() || pts == "N/A") continue;
        frames.push_back(
            {Rational{std::stoll(pts) * unit.num, unit.den}, valueOf(values, "key_frame") == "1"});
    }
    return frames;
}

std::map<std::string, std::string> probeFields(const std::string& path) {
    std::stringstream lines(commandOutput(
        "ffprobe -v error -select_streams v:0 -show_streams -show_format " + q(path)));
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

MovieFacts probeMovie(const std::string& path) {
    MovieFacts facts;
    const auto format = keyValues(
        commandOutput("ffprobe -v error -show_entries "
                      "format=format_name,duration:format_tags=major_brand -of default=nw=1 " +
                      q(path)),
        '\n');
    facts.formatName = valueOf(format, "format_name");
    facts.majorBrand = valueOf(format, "TAG:major_brand");
    facts.duration = std::strtod(valueOf(format, "duration").c_str(), nullptr);

    const std::string streamText = commandOutput(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=codec_name,width,height:stream_side_data -of default=nw=1 " +
        q(path));
    const auto stream = keyValues(streamText, '\n');
    facts.codec = valueOf(stream, "codec_name");
    facts.width = std::atoll(valueOf(stream, "width").c_str());
    facts.height = std::atoll(valueOf(stream, "height").c_str());
    facts.hasDisplayMatrix = streamText.find("Display Matrix") != std::string::npos;
    facts.frames = probeFrames(path);
    return facts;
}

std::vector<std::vector<uint8_t>> decodeRgbFrames(const std::string& path, int64_t width,
                                                  int64_t height) {
    const std::string bytes = commandOutput("timeout 120 ffmpeg -nostdin -v error -i " + q(path) +
                                            " -f rawvideo -pix_fmt rgb24 -fps_mode passthrough -");
    const auto frameBytes = static_cast<size_t>(width * height * 3);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; frameBytes > 0 && at + frameBytes <= bytes.size(); at += frameBytes) {
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    }
    return frames;
}

}  // namespace figsplit::testing
