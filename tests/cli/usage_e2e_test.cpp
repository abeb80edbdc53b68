// Runs the built figsplit binary on command lines that cannot start a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/processes.h"

namespace figsplit {
namespace {

using testing::ErrorStream;
using testing::ProgramRun;

const std::string kUsageLine =
    "error usage: figsplit <input-video> <output.mov> [--long-edge N] "
    "[--quality accurate|balanced]\n";

TEST(Usage, WrongPositionalCountFailsWithTheUsageLine) {
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {"in.mov"},
        {"in.mov", "out.mov", "third.mov"},
        {"in.mov", "out.mov", "--smooth"},            // the option lacks its value
        {"--verbose", "in.mov", "out.mov"},           // unknown options are positional
        {"--long-edge", "800", "--quality", "fast"},  // options only
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ProgramRun run = testing::figsplit(args);
        EXPECT_EQ(run.stderrText, kUsageLine);
        EXPECT_EQ(run.stdoutText, "");
        EXPECT_EQ(run.exitStatus, 1);
    }
}

TEST(Usage, ClosedStandardErrorStillExitsWithOne) {
    // The failure line cannot be delivered; the process must not die of SIGPIPE instead.
    const ProgramRun run = testing::runProgram(FIGSPLIT_BINARY, {}, ErrorStream::closedPipe);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.stdoutText, "");
}

}  // namespace
}  // namespace figsplit
