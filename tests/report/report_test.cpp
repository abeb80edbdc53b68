#include "report/report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace figsplit {
namespace {

// What a child process wrote: every write(2) on a descriptor as one message, because both
// descriptors are packet sockets that keep write boundaries.
struct Captured {
    std::vector<std::string> stderrWrites;
    std::vector<std::string> stdoutWrites;
    int exitStatus = -1;  // -1 unless the child exited normally
};

std::vector<std::string> readPackets(int fd) {
    std::vector<std::string> packets;
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        packets.emplace_back(buf, static_cast<size_t>(n));
    }
    return packets;
}

// Runs `body` in a child process whose descriptors 1 and 2 are packet sockets.
Captured runInChild(const std::function<void()>& body) {
    int err[2], out[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, err), 0);
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, out), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err[1], 2);
        ::dup2(out[1], 1);
        for (int fd : {err[0], err[1], out[0], out[1]}) ::close(fd);
        body();
        ::_exit(0);
    }
    ::close(err[1]);
    ::close(out[1]);
    Captured captured;
    captured.stderrWrites = readPackets(err[0]);
    captured.stdoutWrites = readPackets(out[0]);
    ::close(err[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) captured.exitStatus = WEXITSTATUS(status);
    return captured;
}

TEST(ReportLines, EachLineIsOneWriteOnStandardErrorOnly) {
    struct Case {
        const char* name;
        std::function<void()> body;
        std::vector<std::string> expected;
        int exitStatus;
    };
    const std::vector<Case> cases = {
        {"frames line", [] { log("frames 12"); }, {"frames 12\n"}, 0},
        {"two lines",
         [] {
             log("duration 12.0");
             log("size 960 540");
         },
         {"duration 12.0\n", "size 960 540\n"},
         0},
        {"empty line", [] { log(""); }, {"\n"}, 0},
        {"failure",
         [] {
             fail("no frames decoded");
             log("never written");
         },
         {"error no frames decoded\n"},
         1},
        {"failure after status lines",
         [] {
             log("time 0.2");
             fail("writer: append failed");
         },
         {"time 0.2\n", "error writer: append failed\n"},
         1},
        {"line feed inside a reason is kept",
         [] { fail("reader: first part\nsecond part"); },
         {"error reader: first part\nsecond part\n"},
         1},
        {"non-ASCII path bytes unescaped",
         [] { fail("no video track in /tmp/\xc3\xbc\xe2\x9c\x93 \"x\".mov"); },
         {"error no video track in /tmp/\xc3\xbc\xe2\x9c\x93 \"x\".mov\n"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Captured captured = runInChild(c.body);
        EXPECT_EQ(captured.stderrWrites, c.expected);
        EXPECT_TRUE(captured.stdoutWrites.empty());
        EXPECT_EQ(captured.exitStatus, c.exitStatus);
    }
}

TEST(ReportLines, FramesLineIsExactlyTenBytes) {
    Captured captured = runInChild([] { log("frames 12"); });
    ASSERT_EQ(captured.stderrWrites.size(), 1u);
    EXPECT_EQ(captured.stderrWrites[0].size(), 10u);
    EXPECT_EQ(captured.stderrWrites[0].back(), '\x0a');
}

TEST(ReportLines, UnwritableStandardErrorChangesNothing) {
    // log returns and the run goes on; fail still ends with status 1.
    Captured afterLog = runInChild([] {
        ::close(2);
        log("frames 3");
        ::_exit(7);
    });
    EXPECT_EQ(afterLog.exitStatus, 7);
    Captured afterFail = runInChild([] {
        ::close(2);
        fail("no frames decoded");
    });
    EXPECT_EQ(afterFail.exitStatus, 1);
    EXPECT_TRUE(afterFail.stdoutWrites.empty());
}

TEST(FormatDouble, RendersTheDocumentedForms) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {12, "12.0"},
        {0.5, "0.5"},
        {1.0 / 3, "0.3333333333333333"},
        {0.0001, "0.0001"},
        {0.00005, "5e-05"},
        {1.0 / 20000, "5e-05"},
        {0.0000125, "1.25e-05"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {nan, "nan"},
        {-nan, "nan"},
        {inf, "inf"},
        {-inf, "-inf"},
        {1, "1.0"},
        {-0.25, "-0.25"},
        {100, "100.0"},
        {123.456, "123.456"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.00012, "0.00012"},
        {9.999999999999999e-05, "9.999999999999999e-05"},
        {-0.00005, "-5e-05"},
        {1e-100, "1e-100"},
        {5e-324, "5e-324"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},  // 2^53
        {1e16, "1e+16"},
        {18014398509481984.0, "1.8014398509481984e+16"},  // 2^54
        {1.5e300, "1.5e+300"},
        {DBL_MAX, "1.7976931348623157e+308"},
        {-DBL_MAX, "-1.7976931348623157e+308"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatDouble(c.value), c.text) << "value " << c.value;
    }
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// -?(0|[1-9][0-9]*)\.[0-9]+
bool isPositionalForm(std::string_view text) {
    if (!text.empty() && text[0] == '-') text.remove_prefix(1);
    const size_t point = text.find('.');
    if (point == std::string_view::npos || point == 0 || point + 1 == text.size()) return false;
    const std::string_view whole = text.substr(0, point), fraction = text.substr(point + 1);
    if (whole.size() > 1 && whole[0] == '0') return false;
    auto allDigits = [](std::string_view s) {
        for (char c : s) {
            if (!isDigit(c)) return false;
        }
        return true;
    };
    return allDigits(whole) && allDigits(fraction);
}

// -?[1-9](\.[0-9]*[1-9])?e[-+]([0-9]{2}|[1-9][0-9]{2})
bool isExponentForm(std::string_view text) {
    if (!text.empty() && text[0] == '-') text.remove_prefix(1);
    const size_t e = text.find('e');
    if (e == std::string_view::npos || e + 2 > text.size()) return false;
    const std::string_view mantissa = text.substr(0, e), exponent = text.substr(e + 2);
    if (text[e + 1] != '+' && text[e + 1] != '-') return false;
    if (mantissa.empty() || mantissa[0] < '1' || mantissa[0] > '9') return false;
    if (mantissa.size() > 1) {
        if (mantissa.size() < 3 || mantissa[1] != '.' || mantissa.back() == '0') return false;
        for (char c : mantissa.substr(2)) {
            if (!isDigit(c)) return false;
        }
    }
    if (exponent.size() < 2 || exponent.size() > 3) return false;
    if (exponent.size() == 3 && exponent[0] == '0') return false;
    for (char c : exponent) {
        if (!isDigit(c)) return false;
    }
    return true;
}

// Every finite double reads back exactly, in the form its magnitude calls for.
void expectRoundTrip(double value) {
    const std::string text = formatDouble(value);
    char* end = nullptr;
    const double back = std::strtod(text.c_str(), &end);
    ASSERT_EQ(*end, '\0') << text;
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text << " from " << value;
    const double magnitude = std::fabs(value);
    if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        ASSERT_TRUE(isPositionalForm(text)) << text;
    } else {
        ASSERT_TRUE(isExponentForm(text)) << text;
    }
}

TEST(FormatDouble, RandomBitPatternsReadBackExactly) {
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        expectRoundTrip(value);
        if (HasFatalFailure()) return;
    }
}

TEST(FormatDouble, RandomMagnitudesReadBackExactly) {
    // Concentrated on the magnitudes that status lines carry and on both form boundaries.
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    std::uniform_int_distribution<int> exponent(-8, 20);
    for (int i = 0; i < 200000; ++i) {
        double value = mantissa(random) * std::pow(10.0, exponent(random));
        if (i % 3 == 0) value = std::round(value);  // whole numbers: 12.0, not 12
        if (i % 2 == 0) value = -value;
        expectRoundTrip(value);
        if (HasFatalFailure()) return;
    }
    for (double edge : {1e-4, 1e16}) {
        expectRoundTrip(edge);
        expectRoundTrip(std::nextafter(edge, 0.0));
        expectRoundTrip(std::nextafter(edge, 1e300));
    }
}

TEST(FormatInteger, PlainDecimal) {
    EXPECT_EQ(formatInteger(0), "0");
    EXPECT_EQ(formatInteger(960), "960");
    EXPECT_EQ(formatInteger(-1), "-1");
    EXPECT_EQ(formatInteger(std::numeric_limits<int64_t>::max()), "9223372036854775807");
    EXPECT_EQ(formatInteger(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
}

}  // namespace
}  // namespace figsplit
