// The video-mode driver: probe, geometry, set-up, then every decoded sample through extraction
// and the frame history into the movie, and finally the finish and its outcome.
#include "report/report.h"
#include "video/video_run.h"

namespace figsplit {

int runFrameLoop(VideoRun& run) {
    run.history.frameSink = [&run](const MatteRaster& mask, MediaTime pts) {
        writeMask(run, mask, pts);
    };

    // One sample at a time; its frame is released as soon as its matte is in the history.
    DecodedSample sample;
    while (run.reader->nextSample(sample)) {
        if (!sample.image) continue;  // no picture: no session, not pushed, not counted
        const MediaTime pts = sample.pts;
        if (!run.sessionStarted) {
            run.writer->beginTimeline(pts);
            run.sessionStarted = true;
        }
        MatteRaster mask = extractMask(run, *sample.image, pts);
        sample.image.reset();
        pushFrame(run.history, pts, std::move(mask));
        emitReady(run.history, false);
    }

    emitReady(run.history, true);
    if (run.reader->status() == ReaderStatus::failed) {
        fail("reader: " + run.reader->error().value_or("failed"));
    }
    if (run.frames < 1) fail("no frames decoded");

    run.writer->endInput();
    run.writer->finish([semaphore = run.semaphore] { semaphore->release(); });
    run.semaphore->acquire();
    if (run.writer->status() != WriterStatus::completed) {
        fail("writer: " + run.writer->error().value_or("did not complete"));
    }
    // Only a finished, closed movie takes the old output's place.
    std::string error;
    if (!run.output.commit(error)) fail("writer: " + error);
    log("frames " + formatInteger(run.frames));
    return 0;
}

int runVideo(const Settings& settings, const std::string& inputPath, const std::string& outputPath,
             VideoServices services) {
    VideoRun run(settings, inputPath, outputPath, std::move(services));
    probeSource(run);
    geometryStep(run);
    setupReaderAndWriter(run);
    return runFrameLoop(run);
}

}  // namespace figsplit
