#include "cli/options.h"

#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace figsplit {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char toLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerWord) {
    return text.size() == lowerWord.size() &&
           std::equal(text.begin(), text.end(), lowerWord.begin(),
                      [](char a, char b) { return toLowerAscii(a) == b; });
}

// Consumes a run of characters accepted by `accept` starting at `pos`; returns how many.
template <typename Accept>
size_t skipWhile(std::string_view text, size_t& pos, Accept accept) {
    const size_t start = pos;
    while (pos < text.size() && accept(text[pos])) ++pos;
    return pos - start;
}

// Whether the whole of `text` is one number in the C locale's strtod notation (without the
// "nan(...)" payload form). Checked here rather than left to strtod, which also skips leading
// white space, stops quietly at trailing characters and follows the process's locale.
bool isStrtodNumber(std::string_view text) {
    size_t pos = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::string_view body = text.substr(pos);
    if (equalsIgnoringCase(body, "inf") || equalsIgnoringCase(body, "infinity") ||
        equalsIgnoringCase(body, "nan")) {
        return true;
    }
    const bool hex = body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X');
    if (hex) pos += 2;
    auto mantissaDigit = hex ? isHexDigit : isDigit;
    size_t digits = skipWhile(text, pos, mantissaDigit);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        digits += skipWhile(text, pos, mantissaDigit);
    }
    if (digits == 0) return false;
    if (pos < text.size() && toLowerAscii(text[pos]) == (hex ? 'p' : 'e')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
        if (skipWhile(text, pos, isDigit) == 0) return false;
    }
    return pos == text.size();
}

// The "C" locale, for conversions that must not depend on the process's locale.
struct LocaleDeleter {
    void operator()(locale_t locale) const { freelocale(locale); }
};
using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

std::optional<double> convertRangeNumber(std::string_view text, locale_t cLocale) {
    if (!isStrtodNumber(text)) return std::nullopt;
    const std::string copy(text);  // strtod_l wants a terminated string
    char* end = nullptr;
    // Out-of-range values come back as infinity or a (sub)normal nearest value; both are the
    // nearest double, so ERANGE is not an error here.
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<int64_t> readDecimalInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) return std::nullopt;
    // from_chars takes a "-" but not a "+"; it reports values outside 64 bits.
    const char* first = text[0] == '+' ? text.data() + 1 : text.data();
    int64_t value = 0;
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> readRangeNumber(std::string_view text) {
    LocaleHandle cLocale(newlocale(LC_ALL_MASK, "C", nullptr));
    if (!cLocale) return std::nullopt;
    return convertRangeNumber(text, cLocale.get());
}

std::vector<TimeRange> parseRanges(std::string_view text) {
    LocaleHandle cLocale(newlocale(LC_ALL_MASK, "C", nullptr));
    std::vector<TimeRange> ranges;
    if (!cLocale) return ranges;

    // Splits at every `separator`, keeping only the non-empty parts.
    auto split = [](std::string_view whole, char separator) {
        std::vector<std::string_view> parts;
        size_t start = 0;
        while (start <= whole.size()) {
            size_t stop = whole.find(separator, start);
            if (stop == std::string_view::npos) stop = whole.size();
            if (stop > start) parts.push_back(whole.substr(start, stop - start));
            start = stop + 1;
        }
        return parts;
    };

    for (std::string_view piece : split(text, ',')) {
        std::vector<double> numbers;
        for (std::string_view subPiece : split(piece, '-')) {
            if (auto number = convertRangeNumber(subPiece, cLocale.get())) {
                numbers.push_back(*number);
            }
        }
        // A comparison with NaN is false, so a pair involving one contributes nothing.
        if (numbers.size() == 2 && numbers[0] < numbers[1]) {
            ranges.push_back(TimeRange{numbers[0], numbers[1]});
        }
    }
    return ranges;
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    Settings& settings = result.settings;
    int argIndex = 1;
    while (argIndex < argc) {
        const std::string_view a = argv[argIndex];
        const bool valueFollows = argIndex + 1 < argc;
        const std::string_view v = valueFollows ? argv[argIndex + 1] : std::string_view();
        if (a == "--long-edge" && valueFollows) {
            settings.longEdge =
                std::max<int64_t>(64, readDecimalInteger(v).value_or(settings.longEdge));
            argIndex += 2;
        } else if (a == "--quality" && valueFollows) {
            settings.quality = v == "balanced" ? Quality::balanced : Quality::accurate;
            argIndex += 2;
        } else if (a == "--smooth" && valueFollows) {
            const int64_t radius = readDecimalInteger(v).value_or(settings.smoothRadius);
            settings.smoothRadius = std::max<int64_t>(0, std::min<int64_t>(2, radius));
            argIndex += 2;
        } else if (a == "--ranges" && valueFollows) {
            settings.ranges = parseRanges(v);
            argIndex += 2;
        } else {
            result.positional.emplace_back(a);
            argIndex += 1;
        }
    }
    return result;
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    // getcwd(nullptr, 0) allocates a buffer of the size needed, so long paths are no problem.
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd) return path;
    std::string joined(cwd.get());
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(path);
    return joined;
}

Mode modeForInput(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return Mode::video;
    const std::string_view extension = name.substr(dot + 1);
    for (std::string_view image : {"png", "jpg", "jpeg", "heic"}) {
        if (equalsIgnoringCase(extension, image)) return Mode::image;
    }
    return Mode::video;
}

}  // namespace figsplit
