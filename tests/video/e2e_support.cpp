#include "e2e_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

namespace figsplit::testing {

namespace {

std::string readAll(int fd) {
    std::string text;
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// "key=value" lines → map (the first occurrence of a key wins).
std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return values;
}

}  // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    // Standard error goes to a file, standard output to a pipe: neither can block the other.
    char errName[] = "/tmp/figsplit-stderr-XXXXXX";
    const int errFd = ::mkstemp(errName);
    int outPipe[2];
    if (errFd < 0 || ::pipe(outPipe) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errFd, 2);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        ::close(errFd);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        std::_Exit(127);
    }
    ::close(outPipe[1]);
    ProgramRun run;
    run.stdoutText = readAll(outPipe[0]);
    ::close(outPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::lseek(errFd, 0, SEEK_SET);
    run.stderrText = readAll(errFd);
    ::close(errFd);
    ::unlink(errName);
    return run;
}

bool ffmpeg(const std::string& arguments) {
    // The time limit keeps a mistaken endless source from running on.
    return std::system(("timeout 120 ffmpeg -nostdin -y -v error " + arguments).c_str()) == 0;
}

std::string shellOutput(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string text = readAll(::fileno(pipe));
    ::pclose(pipe);
    return text;
}

MovieFacts probeMovie(const std::string& path) {
    MovieFacts facts;
    const auto format = keyValues(shellOutput(
        "ffprobe -v error -show_entries format=format_name,duration:format_tags=major_brand "
        "-of default=nw=1 " +
        quoted(path)));
    const auto get = [](const std::map<std::string, std::string>& m, const std::string& key) {
        const auto it = m.find(key);
        return it == m.end() ? std::string() : it->second;
    };
    facts.formatName = get(format, "format_name");
    facts.majorBrand = get(format, "TAG:major_brand");
    facts.duration = std::strtod(get(format, "duration").c_str(), nullptr);

    const std::string streamText = shellOutput(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,time_base:stream_side_data "
        "-of default=nw=1 " +
        quoted(path));
    const auto stream = keyValues(streamText);
    facts.codec = get(stream, "codec_name");
    facts.width = std::atoll(get(stream, "width").c_str());
    facts.height = std::atoll(get(stream, "height").c_str());
    facts.hasDisplayMatrix = streamText.find("Display Matrix") != std::string::npos;
    Rational unit;
    if (std::sscanf(get(stream, "time_base").c_str(), "%ld/%ld", &unit.num, &unit.den) != 2) {
        return facts;
    }

    std::stringstream lines(
        shellOutput("ffprobe -v error -select_streams v:0 -show_entries "
                    "frame=key_frame,pts,best_effort_timestamp -of csv=p=0 " +
                    quoted(path)));
    std::string line;
    while (std::getline(lines, line)) {
        // key_frame,pts,best_effort_timestamp
        std::stringstream fields(line);
        std::string key, pts, bestEffort;
        std::getline(fields, key, ',');
        std::getline(fields, pts, ',');
        std::getline(fields, bestEffort, ',');
        if (pts.empty() || pts == "N/A") pts = bestEffort;
        if (pts.empty() || pts == "N/A") continue;
        facts.frames.push_back({Rational{std::stoll(pts) * unit.num, unit.den}, key == "1"});
    }
    return facts;
}

std::vector<std::vector<uint8_t>> decodeRgbFrames(const std::string& path, int64_t width,
                                                  int64_t height) {
    const std::string bytes =
        shellOutput("timeout 120 ffmpeg -nostdin -v error -i " + quoted(path) +
                    " -f rawvideo -pix_fmt rgb24 -fps_mode passthrough -");
    const auto frameBytes = static_cast<size_t>(width * height * 3);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; frameBytes > 0 && at + frameBytes <= bytes.size(); at += frameBytes) {
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    }
    return frames;
}

ScratchDirectory::ScratchDirectory() {
    char pattern[] = "/tmp/figsplit-e2e-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ProgramRun figsplit(const std::vector<std::string>& arguments) {
    return runProgram(FIGSPLIT_BINARY, arguments);
}

std::string q(const std::string& path) {
    return quoted(path);
}

std::string lastLine(const std::string& text) {
    if (text.empty() || text.back() != '\n') return {};
    const size_t newline = text.rfind('\n', text.size() - 2);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, text.size() - 1 - start);
}

std::string MovieFixture::make(const std::string& name, const std::string& ffmpegArguments) {
    const std::string path = dir_.file(name);
    EXPECT_TRUE(ffmpeg(ffmpegArguments + " " + quoted(path))) << ffmpegArguments;
    return path;
}

std::string MovieFixture::testPattern(const std::string& name, const std::string& size,
                                      double seconds, const std::string& encoding) {
    return make(name, "-f lavfi -t " + std::to_string(seconds) + " -i testsrc2=size=" + size +
                          ":rate=25 " + encoding);
}

}  // namespace figsplit::testing
