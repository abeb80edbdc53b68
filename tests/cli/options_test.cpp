#include "cli/options.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace figsplit {

void PrintTo(const TimeRange& range, std::ostream* out) {
    *out << "(" << range.start << ", " << range.end << ")";
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

CommandLine parse(std::vector<std::string> args) {
    args.insert(args.begin(), "figsplit");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string describe(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += "[" + arg + "]";
    return text;
}

TEST(CommandLine, DefaultsWithoutOptions) {
    const CommandLine line = parse({"in.mov", "out.mov"});
    EXPECT_EQ(line.settings.longEdge, 960);
    EXPECT_EQ(line.settings.quality, Quality::accurate);
    EXPECT_EQ(line.settings.smoothRadius, 2);
    EXPECT_FALSE(line.settings.ranges.has_value());
    EXPECT_EQ(line.positional, (std::vector<std::string>{"in.mov", "out.mov"}));
    EXPECT_TRUE(parse({}).positional.empty());
}

TEST(CommandLine, WhichArgumentsArePositional) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> positional;
    };
    const Case cases[] = {
        // Options anywhere among the paths.
        {{"--smooth", "1", "in.mov", "--long-edge", "100", "out.mov", "--quality", "balanced"},
         {"in.mov", "out.mov"}},
        // An option name as the last argument has no value and is positional.
        {{"input.mov", "--smooth"}, {"input.mov", "--smooth"}},
        {{"input.mov", "output.mov", "--smooth"}, {"input.mov", "output.mov", "--smooth"}},
        {{"a", "b", "--ranges"}, {"a", "b", "--ranges"}},
        // A value is consumed whatever it looks like, and never read as an option.
        {{"--long-edge", "--quality", "balanced"}, {"balanced"}},
        {{"a", "--ranges", "--smooth", "b"}, {"a", "b"}},
        {{"--smooth", "--smooth", "a"}, {"a"}},
        // Only whole, exact, case-sensitive option names count.
        {{"--long-edge=800", "a", "b"}, {"--long-edge=800", "a", "b"}},
        {{"--LONG-EDGE", "100"}, {"--LONG-EDGE", "100"}},
        {{"--verbose", "a", "b"}, {"--verbose", "a", "b"}},
        {{"-", "", "--"}, {"-", "", "--"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.args).positional, c.positional) << describe(c.args);
    }
}

TEST(CommandLine, ValueAfterOptionNameTakenEvenWhenItIsTheSecondPath) {
    // "--smooth" swallows "out.mov": it is not an integer, so the radius stays 2.
    const CommandLine line = parse({"in.mov", "--smooth", "out.mov"});
    EXPECT_EQ(line.positional, std::vector<std::string>{"in.mov"});
    EXPECT_EQ(line.settings.smoothRadius, 2);
}

TEST(CommandLine, LongEdge) {
    struct Case {
        std::vector<std::string> args;
        int64_t longEdge;
    };
    const Case cases[] = {
        {{"--long-edge", "10"}, 64},
        {{"--long-edge", "-5"}, 64},
        {{"--long-edge", "64"}, 64},
        {{"--long-edge", "+1000"}, 1000},
        {{"--long-edge", "0001000"}, 1000},
        {{"--long-edge", "9223372036854775807"}, kInt64Max},
        {{"--long-edge", "-9223372036854775808"}, 64},
        {{"--long-edge", "1e3"}, 960},
        {{"--long-edge", "12.5"}, 960},
        {{"--long-edge", "99999999999999999999"}, 960},
        {{"--long-edge", "9223372036854775808"}, 960},
        {{"--long-edge", ""}, 960},
        {{"--long-edge", " 800"}, 960},
        {{"--long-edge", "--quality", "balanced"}, 960},
        {{"--long-edge", "800", "--long-edge", "x"}, 800},
        {{"--long-edge", "800", "--long-edge", "700"}, 700},
        {{"--long-edge=800"}, 960},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.args).settings.longEdge, c.longEdge) << describe(c.args);
    }
}

TEST(CommandLine, Quality) {
    struct Case {
        std::vector<std::string> args;
        Quality quality;
    };
    const Case cases[] = {
        {{"--quality", "balanced"}, Quality::balanced},
        {{"--quality", "accurate"}, Quality::accurate},
        {{"--quality", "Balanced"}, Quality::accurate},
        {{"--quality", "fast"}, Quality::accurate},
        {{"--quality", "balanced "}, Quality::accurate},
        {{"--quality", "balanced", "--quality", "fast"}, Quality::accurate},
        {{"--quality", "fast", "--quality", "balanced"}, Quality::balanced},
        {{"a", "balanced", "--quality"}, Quality::accurate},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.args).settings.quality, c.quality) << describe(c.args);
    }
}

TEST(CommandLine, SmoothRadius) {
    struct Case {
        std::vector<std::string> args;
        int64_t smoothRadius;
    };
    const Case cases[] = {
        {{"--smooth", "7"}, 2},
        {{"--smooth", "-1"}, 0},
        {{"--smooth", "0"}, 0},
        {{"--smooth", "1"}, 1},
        {{"--smooth", "+1"}, 1},
        {{"--smooth", "x"}, 2},
        {{"--smooth", "1", "--smooth", "x"}, 1},
        {{"--smooth", "0", "--smooth", "1.0"}, 0},
        {{"--smooth", "-9223372036854775808"}, 0},
        {{"--smooth", "99999999999999999999"}, 2},
        {{"--smooth", "-99999999999999999999"}, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.args).settings.smoothRadius, c.smoothRadius) << describe(c.args);
    }
}

TEST(CommandLine, RangesOption) {
    using Ranges = std::optional<std::vector<TimeRange>>;
    struct Case {
        std::vector<std::string> args;
        Ranges ranges;
    };
    const Case cases[] = {
        {{"a", "b"}, std::nullopt},
        {{"--ranges", "1-2,3.5-4"}, std::vector<TimeRange>{{1, 2}, {3.5, 4}}},
        {{"--ranges", ""}, std::vector<TimeRange>{}},
        {{"--ranges", "2-1"}, std::vector<TimeRange>{}},
        // A later "--ranges" replaces the earlier list, even with an empty one.
        {{"--ranges", "1-2", "--ranges", "5-6"}, std::vector<TimeRange>{{5, 6}}},
        {{"--ranges", "1-2", "--ranges", "x"}, std::vector<TimeRange>{}},
        // Without a value the option name is positional and the list stays absent.
        {{"a", "b", "--ranges"}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.args).settings.ranges, c.ranges) << describe(c.args);
    }
}

TEST(ParseRanges, PiecesAndSubPieces) {
    struct Case {
        const char* text;
        std::vector<TimeRange> ranges;
    };
    const Case cases[] = {
        {"1-2,3.5-4", {{1, 2}, {3.5, 4}}},
        {"3.5-4,1-2", {{3.5, 4}, {1, 2}}},  // argument order, not sorted
        {"", {}},
        {",,,", {}},
        {",1-2,,", {{1, 2}}},
        {"2-1", {}},
        {"1-1", {}},
        {"1-2-3", {}},
        {"1", {}},
        {"1,2", {}},
        {"1-x-2", {{1, 2}}},
        {"-1-2", {{1, 2}}},  // "-" is a separator, never a sign
        {"1--2", {{1, 2}}},
        {"1-2-", {{1, 2}}},
        {"0.5-1e1", {{0.5, 10}}},
        {"1e-5-7", {{5, 7}}},  // "1e" is not a number: the exponent's "-" split it
        {"1e+1-20", {{10, 20}}},
        {"+1-+2", {{1, 2}}},
        {".5-1.", {{0.5, 1}}},
        {"0x1p3-0X10", {{8, 16}}},
        {"1-inf", {{1, kInf}}},
        {"0-1e400", {{0, kInf}}},  // the nearest double to a huge value is infinity
        {"inf-infinity", {}},
        {"nan-1", {}},
        {"1-NaN", {}},
        {"1-nan-2", {}},
        {"1-nan(2)-3", {{1, 3}}},
        {" 1-2", {}},
        {"1-2 ", {}},
        {"1 -2", {}},
        {"0-1,2-1,3-4,4-3", {{0, 1}, {3, 4}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseRanges(c.text), c.ranges) << "\"" << c.text << "\"";
    }
}

TEST(ReadDecimalInteger, WholeTextSignAndDigitsWithinSixtyFourBits) {
    struct Case {
        const char* text;
        std::optional<int64_t> value;
    };
    const Case cases[] = {
        {"0", 0},
        {"-0", 0},
        {"+7", 7},
        {"-5", -5},
        {"007", 7},
        {"9223372036854775807", kInt64Max},
        {"-9223372036854775808", kInt64Min},
        {"+0009223372036854775807", kInt64Max},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1e3", std::nullopt},
        {"12.5", std::nullopt},
        {"0x10", std::nullopt},
        {"1_000", std::nullopt},
        {"1,000", std::nullopt},
        {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readDecimalInteger(c.text), c.value) << "\"" << c.text << "\"";
    }
}

// The notation is the C library's strtod in the C locale, taken whole: std::from_chars refuses
// some of it ("+1", "0x1p3", "1e400"), strtod alone accepts more (" 1", "nan(1)", "1abc"
// as far as it goes) and follows the process's locale.
TEST(ReadRangeNumber, StrtodNotationTakenWhole) {
    struct Case {
        const char* text;
        std::optional<double> value;
    };
    const Case cases[] = {
        {"1", 1},
        {"+1", 1},
        {"-1", -1},
        {"1.", 1},
        {".5", 0.5},
        {"00012", 12},
        {"1e1", 10},
        {"1E+1", 10},
        {"2.5e-1", 0.25},
        {"0x1p3", 8},
        {"0X1.8P1", 3},
        {"0x.8", 0.5},
        {"0x10", 16},
        {"0x1P-2", 0.25},
        {"inf", kInf},
        {"INF", kInf},
        {"Infinity", kInf},
        {"-inf", -kInf},
        {"1e400", kInf},
        {"0.1", 0.1},
        {"2.4703282292062328e-324", 5e-324},  // nearest double: the smallest subnormal
        {"", std::nullopt},
        {" 1", std::nullopt},
        {"\t1", std::nullopt},
        {"1 ", std::nullopt},
        {"1abc", std::nullopt},
        {"nan(123)", std::nullopt},
        {"nan()", std::nullopt},
        {"infinit", std::nullopt},
        {"infinityy", std::nullopt},
        {"inf1", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"1e1.5", std::nullopt},
        {"e1", std::nullopt},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"+-1", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1,5", std::nullopt},
        {"0x", std::nullopt},
        {"0x.", std::nullopt},
        {"0x1p", std::nullopt},
        {"0x1e", 30},  // "e" is a hexadecimal digit
        {"0xg", std::nullopt},
        {"1p3", std::nullopt},
        {"0x1.8e1", 1.5 + 14.0 / 256 + 1.0 / 4096},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readRangeNumber(c.text), c.value) << "\"" << c.text << "\"";
    }
    for (const char* text : {"nan", "NaN", "NAN", "+nan", "-nan"}) {
        const std::optional<double> value = readRangeNumber(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_TRUE(std::isnan(*value)) << text;
    }
    // The text may come from a longer string: only the view is read.
    EXPECT_EQ(readRangeNumber(std::string_view("12x", 2)), 12);
    EXPECT_EQ(readRangeNumber(std::string_view("1\0", 2)), std::nullopt);
}

// A process locale whose decimal point is a comma changes plain strtod but not the ranges.
TEST(ReadRangeNumber, IndependentOfTheProcessLocale) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("figsplit-locale-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup() {
            setlocale(LC_NUMERIC, "C");
            std::filesystem::remove_all(dir);
        }
    } cleanup{dir};
    {
        std::ofstream source(dir / "comma_source");
        source << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\n"
                  "grouping 3;3\nEND LC_NUMERIC\n";
    }
    const std::string command = "localedef -c -i '" + (dir / "comma_source").string() +
                                "' -f UTF-8 '" + (dir / "comma.UTF-8").string() +
                                "' >/dev/null 2>&1";
    [[maybe_unused]] int status = std::system(command.c_str());  // warns, exits 1, still builds
    setenv("LOCPATH", dir.c_str(), 1);
    if (setlocale(LC_NUMERIC, "comma.UTF-8") == nullptr) {
        FAIL() << "could not build a locale with a decimal comma (localedef needs the charmaps of "
                  "Debian's locales package)";
    }
    ASSERT_EQ(std::strtod("1,5", nullptr), 1.5);  // the locale is in force

    EXPECT_EQ(readRangeNumber("1.5"), 1.5);
    EXPECT_EQ(readRangeNumber("1,5"), std::nullopt);
    EXPECT_EQ(readRangeNumber("0x1.8p1"), 3);
    EXPECT_EQ(parseRanges("0.5-1.5"), (std::vector<TimeRange>{{0.5, 1.5}}));
}

TEST(AbsolutePath, RelativePathsJoinTheWorkingDirectory) {
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    ASSERT_TRUE(cwd);
    const std::string here = cwd.get();
    EXPECT_EQ(absolutePath("/abs/clip.mov"), "/abs/clip.mov");
    EXPECT_EQ(absolutePath("/abs/../x/./clip.mov"), "/abs/../x/./clip.mov");
    EXPECT_EQ(absolutePath("clip.mov"), here + "/clip.mov");
    EXPECT_EQ(absolutePath("../up/clip.mov"), here + "/../up/clip.mov");
    EXPECT_EQ(absolutePath("./dir/"), here + "/./dir/");
    EXPECT_EQ(absolutePath("--smooth"), here + "/--smooth");
    EXPECT_EQ(absolutePath("\xc3\xbc.mov"), here + "/\xc3\xbc.mov");
}

TEST(AbsolutePath, RootWorkingDirectoryGivesOneSlash) {
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    ASSERT_TRUE(cwd);
    ASSERT_EQ(chdir("/"), 0);
    const std::string joined = absolutePath("clip.mov");
    ASSERT_EQ(chdir(cwd.get()), 0);
    EXPECT_EQ(joined, "/clip.mov");
}

TEST(ModeForInput, LowercasedExtensionOfTheLastComponent) {
    struct Case {
        const char* path;
        Mode mode;
    };
    const Case cases[] = {
        {"photo.png", Mode::image},
        {"photo.jpg", Mode::image},
        {"photo.jpeg", Mode::image},
        {"photo.heic", Mode::image},
        {"photo.JPG", Mode::image},
        {"photo.Heic", Mode::image},
        {"photo.PnG", Mode::image},
        {"/dir/archive.tar.png", Mode::image},
        {"/dir/.png", Mode::image},
        {"/dir/photo.png/", Mode::image},
        {"clip.heif", Mode::video},
        {"clip.tif", Mode::video},
        {"clip.mov", Mode::video},
        {"clip", Mode::video},
        {"png", Mode::video},
        {"photo.", Mode::video},
        {"photo.png.mov", Mode::video},
        {"photo.jpg2", Mode::video},
        {"photo. png", Mode::video},
        {"/a.png/clip", Mode::video},
        {"/a.b/c", Mode::video},
        {"", Mode::video},
        {"/", Mode::video},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(modeForInput(c.path), c.mode) << "\"" << c.path << "\"";
    }
}

}  // namespace
}  // namespace figsplit
