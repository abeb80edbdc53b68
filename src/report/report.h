#pragma once
// Every line the program writes goes through log() or fail(): one write(2) per line on file
// descriptor 2, UTF-8, terminated by a single line feed. Standard output is never written.
// Only the main flow of control calls them.
#include <cstdint>
#include <string>
#include <string_view>

namespace figsplit {

// Writes `line` + "\n" to standard error in one write request and returns. A failed or short
// write is neither retried nor reported.
void log(std::string_view line);

// Writes "error " + `text` + "\n" to standard error in one write request, removes the pending
// temporary output file, if any (output_file.h), and ends the process with status 1 at once.
[[noreturn]] void fail(std::string_view text);

// The shortest decimal text that reads back as the same double: positional form with at least
// one digit after the point for zero and magnitudes >= 0.0001 (12.0, 0.5, -0.0), exponent form
// below (5e-05, 1.25e-05); nan, inf, -inf.
std::string formatDouble(double value);

// Plain decimal, "-" for negatives, no grouping.
std::string formatInteger(int64_t value);

}  // namespace figsplit
