#include "fuzz_checks.h"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cli/options.h"
#include "report/report.h"

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                       \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace figsplit {

namespace {

std::vector<std::string_view> splitAll(std::string_view whole, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t stop = whole.find(separator, start);
        if (stop == std::string_view::npos) {
            parts.push_back(whole.substr(start));
            return parts;
        }
        parts.push_back(whole.substr(start, stop - start));
        start = stop + 1;
    }
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameRanges(const std::vector<TimeRange>& a, const std::vector<TimeRange>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!sameBits(a[i].start, b[i].start) || !sameBits(a[i].end, b[i].end)) return false;
    }
    return true;
}

void checkRangeList(const std::vector<TimeRange>& ranges) {
    for (const TimeRange& range : ranges) FUZZ_CHECK(range.start < range.end);
}

struct LocaleDeleter {
    void operator()(locale_t locale) const { freelocale(locale); }
};
using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

// What the C library's C-locale strtod makes of the whole text, minus the liberties the
// reader must not take (leading white space, a "nan(...)" payload).
std::optional<double> strtodOracle(std::string_view text, locale_t cLocale) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    if (std::strchr(" \t\n\v\f\r", text[0]) != nullptr) return std::nullopt;
    if (text.find('(') != std::string_view::npos) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    return value;
}

// The same for strtoll in base 10, which must agree with the decimal integer reader.
std::optional<int64_t> strtollOracle(std::string_view text, locale_t cLocale) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    if (std::strchr(" \t\n\v\f\r", text[0]) != nullptr) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll_l(copy.c_str(), &end, 10, cLocale);
    if (end != copy.c_str() + copy.size() || errno == ERANGE) return std::nullopt;
    return value;
}

// The rendered text reads back as the same double (any NaN reads "nan").
void checkRendering(double value) {
    const std::string text = formatDouble(value);
    FUZZ_CHECK(!text.empty() && text.size() < 32);
    if (std::isnan(value)) {
        FUZZ_CHECK(text == "nan");
        return;
    }
    char* end = nullptr;
    const double back = std::strtod(text.c_str(), &end);
    FUZZ_CHECK(*end == '\0');
    FUZZ_CHECK(sameBits(back, value));
    FUZZ_CHECK(text.find_first_of(".ein") != std::string::npos);  // never a bare integer
}

// Both number readers agree with the C library, and what the range reader reads renders back
// to the same double.
void checkNumberReaders(std::string_view text, locale_t cLocale) {
    const std::optional<double> number = readRangeNumber(text);
    const std::optional<double> expected = strtodOracle(text, cLocale);
    FUZZ_CHECK(number.has_value() == expected.has_value());
    if (number) {
        FUZZ_CHECK(sameBits(*number, *expected) || (std::isnan(*number) && std::isnan(*expected)));
        checkRendering(*number);
    }
    FUZZ_CHECK(readDecimalInteger(text) == strtollOracle(text, cLocale));
}

}  // namespace

void checkOptionsInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args{"figsplit"};
    if (size > 0) {
        for (std::string_view part : splitAll(input, '\0')) args.emplace_back(part);
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const int argc = static_cast<int>(argv.size());

    const CommandLine first = parseCommandLine(argc, argv.data());
    const CommandLine second = parseCommandLine(argc, argv.data());

    const Settings& settings = first.settings;
    FUZZ_CHECK(settings.longEdge >= 64);
    FUZZ_CHECK(settings.smoothRadius >= 0 && settings.smoothRadius <= 2);
    FUZZ_CHECK(settings.quality == Quality::accurate || settings.quality == Quality::balanced);
    if (settings.ranges) checkRangeList(*settings.ranges);

    // Deterministic.
    FUZZ_CHECK(settings.longEdge == second.settings.longEdge);
    FUZZ_CHECK(settings.smoothRadius == second.settings.smoothRadius);
    FUZZ_CHECK(settings.quality == second.settings.quality);
    FUZZ_CHECK(settings.ranges.has_value() == second.settings.ranges.has_value());
    if (settings.ranges) FUZZ_CHECK(sameRanges(*settings.ranges, *second.settings.ranges));
    FUZZ_CHECK(first.positional == second.positional);

    // Positional arguments are arguments, in order.
    size_t next = 1;
    for (const std::string& positional : first.positional) {
        while (next < args.size() && args[next] != positional) ++next;
        FUZZ_CHECK(next < args.size());
        ++next;
    }
    // An option name is positional only as the last argument, where no value follows it.
    auto isOptionName = [](const std::string& arg) {
        return arg == "--long-edge" || arg == "--quality" || arg == "--smooth" || arg == "--ranges";
    };
    for (size_t i = 0; i < first.positional.size(); ++i) {
        if (isOptionName(first.positional[i])) {
            FUZZ_CHECK(i + 1 == first.positional.size());
            FUZZ_CHECK(first.positional[i] == args.back());
        }
    }
    // Every argument is either positional or part of an option with its value.
    FUZZ_CHECK((args.size() - 1 - first.positional.size()) % 2 == 0);

    for (const std::string& path : first.positional) {
        const std::string absolute = absolutePath(path);
        FUZZ_CHECK(absolute.size() >= path.size());
        FUZZ_CHECK(absolute.compare(absolute.size() - path.size(), path.size(), path) == 0);
        if (!path.empty()) FUZZ_CHECK(modeForInput(absolute) == modeForInput(path));
    }
}

void checkRangesInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    LocaleHandle cLocale(newlocale(LC_ALL_MASK, "C", nullptr));
    FUZZ_CHECK(cLocale != nullptr);

    const std::vector<TimeRange> ranges = parseRanges(input);
    checkRangeList(ranges);
    FUZZ_CHECK(sameRanges(ranges, parseRanges(input)));

    // Every sub-piece: the number reader agrees with the C library, and what it reads renders
    // back to the same double.
    for (std::string_view piece : splitAll(input, ',')) {
        for (std::string_view subPiece : splitAll(piece, '-')) {
            checkNumberReaders(subPiece, cLocale.get());
        }
    }

    // An independent count of the ranges the pieces should give.
    size_t expectedCount = 0;
    for (std::string_view piece : splitAll(input, ',')) {
        std::vector<double> numbers;
        for (std::string_view subPiece : splitAll(piece, '-')) {
            if (auto number = strtodOracle(subPiece, cLocale.get())) numbers.push_back(*number);
        }
        if (numbers.size() == 2 && numbers[0] < numbers[1]) ++expectedCount;
    }
    FUZZ_CHECK(ranges.size() == expectedCount);

    checkNumberReaders(input, cLocale.get());  // signs included, which pieces never have
    if (size >= sizeof(double)) {
        double value;
        std::memcpy(&value, data, sizeof value);
        checkRendering(value);
    }
}

}  // namespace figsplit
