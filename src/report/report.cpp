#include "report/report.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "report/output_file.h"

namespace figsplit {

namespace {

void writeLine(std::string line) {
    line.push_back('\n');
    // One write request per line, so lines never interleave and each is out before we return.
    // The outcome is deliberately not examined: there is nowhere left to report it.
    [[maybe_unused]] ssize_t n = ::write(2, line.data(), line.size());
}

// Decimal exponents at which the positional form gives way to the exponent form. Below 1e-4
// positional text would be mostly leading zeros; from 1e16 up (beyond 2^53, where doubles are
// no longer dense in the integers) it would print zeros that carry no information. Python's
// repr draws the same two lines.
constexpr int kSmallestPositionalExponent = -4;
constexpr int kLargestPositionalExponent = 15;

}  // namespace

void log(std::string_view line) {
    writeLine(std::string(line));
}

void fail(std::string_view text) {
    std::string line = "error ";
    line.append(text);
    writeLine(std::move(line));
    // A movie or picture left half-written must not stay beside (or instead of) the old output.
    removePendingOutput();
    // _Exit, not exit: worker threads (decoder, encoder, engine pool) may still be running, and
    // static destructors racing them could crash after the failure line is out.
    std::_Exit(1);
}

std::string formatInteger(int64_t value) {
    return std::to_string(value);
}

std::string formatDouble(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    std::string text;
    if (std::signbit(value)) {
        text.push_back('-');
        value = -value;
    }
    if (value == 0) return text + "0.0";

    // The scientific form of to_chars carries the shortest round-trip digits: "d[.ddd]e±XX".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(end - buf));
    const size_t e = sci.find('e');
    std::string digits(sci.substr(0, e));
    if (digits.size() > 1) digits.erase(1, 1);  // drop the point: "1.25" -> "125"
    int exponent = 0;
    std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exponent);
    if (sci[e + 1] == '-') exponent = -exponent;

    if (exponent < kSmallestPositionalExponent || exponent > kLargestPositionalExponent) {
        text.push_back(digits[0]);
        if (digits.size() > 1) {
            text.push_back('.');
            text.append(digits, 1);
        }
        text.push_back('e');
        text.push_back(exponent < 0 ? '-' : '+');
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) text.push_back('0');
        text.append(std::to_string(magnitude));
        return text;
    }

    const int count = static_cast<int>(digits.size());
    if (exponent < 0) {
        // 0.000ddd
        text.append("0.");
        text.append(static_cast<size_t>(-exponent - 1), '0');
        text.append(digits);
    } else if (exponent + 1 >= count) {
        // ddd000.0
        text.append(digits);
        text.append(static_cast<size_t>(exponent + 1 - count), '0');
        text.append(".0");
    } else {
        // dd.ddd
        text.append(digits, 0, static_cast<size_t>(exponent + 1));
        text.push_back('.');
        text.append(digits, static_cast<size_t>(exponent + 1));
    }
    return text;
}

}  // namespace figsplit
