// figsplit: separates the people in a picture or a movie from everything else.
//
//   figsplit INPUT OUTPUT [--long-edge N] [--quality accurate|balanced] [--smooth 0|1|2]
//                         [--ranges S-E,S-E...]
//
// The entry reads the command line (options.cpp), then hands over to image mode for a png, jpg,
// jpeg or heic input (still/image_mode.cpp) and to video mode for anything else
// (video/video_mode.cpp). Every line the program writes goes to standard error through
// report.h; the exit status is 0 on success and 1 after a line that begins "error ".
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <new>

#include "cli/options.h"
#include "platform/engine/wait_policy.h"
#include "report/output_file.h"
#include "report/report.h"
#include "still/image_mode.h"
#include "video/video_mode.h"

int main(int argc, char** argv) {
    using namespace figsplit;

    chooseOpenMpWaiting(argv);

    // A closed standard error (say, a pipe whose reader has gone) must not kill the process
    // with SIGPIPE: a lost line is ignored and the run keeps its own exit status.
    std::signal(SIGPIPE, SIG_IGN);

    // Ctrl-C, kill or a closed terminal: the half-written output file goes, then the process
    // ends by the signal as usual.
    installInterruptCleanup();

    try {
        const CommandLine commandLine = parseCommandLine(argc, argv);
        if (commandLine.positional.size() != 2) fail(kUsageText);
        const std::string inputPath = absolutePath(commandLine.positional[0]);
        const std::string outputPath = absolutePath(commandLine.positional[1]);
        if (modeForInput(inputPath) == Mode::image) return runImageMode(inputPath, outputPath);
        return runVideoMode(commandLine.settings, inputPath, outputPath);
    } catch (const std::bad_alloc&) {
        fail("out of memory");
    } catch (const std::exception& error) {
        // Nothing is meant to throw this far; should something do so, the run still ends with
        // one failure line and status 1 rather than an abort.
        fail(error.what());
    }
}
