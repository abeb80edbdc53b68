#pragma once
// The command line: the option loop, its number readers, the input and output paths and the
// choice of mode. Everything here is pure (no output, no exit) so that it can be tested and
// fuzzed; main.cpp turns a wrong positional count into the usage failure.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/settings.h"

namespace figsplit {

// The failure text when the command line does not name exactly an input and an output. It names
// only two of the four options.
inline constexpr std::string_view kUsageText =
    "usage: figsplit <input-video> <output.mov> [--long-edge N] [--quality accurate|balanced]";

struct CommandLine {
    Settings settings;
    // Every argument not consumed as an option or an option's value, in order; the first is
    // the input path, the second the output path.
    std::vector<std::string> positional;
};

// Reads argv[1 .. argc-1]: "--long-edge N", "--quality accurate|balanced", "--smooth N" and
// "--ranges S-E,S-E..." in any order among the positional arguments. An option name that is
// the last argument has no value and counts as positional; a value is taken whatever it is,
// even when it looks like an option. Bad values are ignored silently.
CommandLine parseCommandLine(int argc, const char* const* argv);

// The whole text is an optional single "+" or "-" then ASCII digits, and fits in 64 bits.
std::optional<int64_t> readDecimalInteger(std::string_view text);

// The whole text is a number in the C locale's strtod notation: decimal with optional point and
// exponent, hexadecimal ("0x1.8p3"), or inf / infinity / nan in any letter case, with an
// optional sign. No white space, no trailing characters, no "nan(...)" payload. Returns the
// nearest double (infinity for decimal overflow).
std::optional<double> readRangeNumber(std::string_view text);

// "S-E,S-E...": pieces split at ",", each split at "-" (always a separator, never a sign);
// empty pieces and sub-pieces and non-numbers are dropped; a piece left with exactly two
// numbers, the first less than the second, gives a range. List order is argument order.
std::vector<TimeRange> parseRanges(std::string_view text);

// `path` made absolute: a relative path is joined to the working directory with one "/".
// Dot segments, repeated and trailing slashes are kept as given; symbolic links are not
// resolved. Should the working directory be unknown, the path is returned as given.
std::string absolutePath(const std::string& path);

enum class Mode { image, video };

// Image mode when the lowercased extension of the last path component (the text after its last
// ".") is png, jpg, jpeg or heic; video mode otherwise. Trailing slashes are ignored.
Mode modeForInput(std::string_view path);

}  // namespace figsplit
