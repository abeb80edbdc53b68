#include "report/report.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>

namespace figsplit {

namespace {
void writeLine(std::string line) {
    line.push_back('\n');
    // One write request per line; the outcome is deliberately not examined.
    [[maybe_unused]] ssize_t n = ::write(2, line.data(), line.size());
}
}  // namespace

void log(std::string_view line) { writeLine(std::string(line)); }

void fail(std::string_view text) {
    std::string line = "error ";
    line.append(text);
    writeLine(std::move(line));
    // _Exit, not exit: worker threads (decoder, encoder, engine pool) may still be running, and
    // static destructors racing them could crash after the failure line is out.
    std::_Exit(1);
}

std::string formatInteger(int64_t value) { return std::to_string(value); }

std::string formatDouble(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);  // placeholder; the exact rules come with the report work
}

}  // namespace figsplit
