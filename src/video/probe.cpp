// Source probing: opens the movie and learns its first video track, duration, preferred
// transform and natural size. The loads run as tasks on their own threads while the main flow
// waits on the run's semaphore; each task stores its results, then releases the semaphore once.
#include <system_error>
#include <thread>
#include <vector>

#include "report/report.h"
#include "video/video_run.h"

namespace figsplit {

namespace {

// Loading errors are dropped on purpose: a missing track ends the run below, a missing duration
// is reported as 0.0, and a missing transform or size falls back to identity or 0 x 0.
void loadTrackAndDuration(VideoRun& run) {
    std::vector<TrackId> tracks;
    std::string error;
    if (run.asset && run.asset->loadVideoTracks(tracks, error) && !tracks.empty()) {
        run.loadedTrack = tracks.front();
    } else {
        run.loadedTrack.reset();
    }
    MediaTime duration;
    if (run.asset && run.asset->loadDuration(duration, error)) {
        run.loadedDuration = duration;
    } else {
        run.loadedDuration = MediaTime::zero();
    }
}

void loadTransformAndSize(VideoRun& run, TrackId track) {
    std::string error;
    AffineTransform transform;
    if (run.asset->loadPreferredTransform(track, transform, error)) {
        run.transform = transform;
    } else {
        run.transform = AffineTransform{};
    }
    Size2D size;
    if (run.asset->loadNaturalSize(track, size, error)) {
        run.naturalSize = size;
    } else {
        run.naturalSize = Size2D{};
    }
}

// Runs `body` on a detached thread; the semaphore is the only link back. Should no thread be
// available, the body runs here before the caller's wait, which orders it the same way.
template <typename Body>
void startTask(const std::shared_ptr<std::counting_semaphore<>>& semaphore, Body body) {
    auto task = [semaphore, body]() mutable {
        body();
        semaphore->release();
    };
    try {
        std::thread(task).detach();
    } catch (const std::system_error&) {
        task();
    }
}

}  // namespace

void probeSource(VideoRun& run) {
    run.asset = run.services.openAsset(run.inputPath);
    run.semaphore = std::make_shared<std::counting_semaphore<>>(0);
    run.loadedTrack.reset();
    run.loadedDuration = MediaTime::zero();

    startTask(run.semaphore, [&run] { loadTrackAndDuration(run); });
    run.semaphore->acquire();

    if (!run.loadedTrack) fail("no video track in " + run.inputPath);

    run.transform = AffineTransform{};
    run.naturalSize = Size2D{};
    startTask(run.semaphore,
              [&run, track = *run.loadedTrack] { loadTransformAndSize(run, track); });
    run.semaphore->acquire();
}

}  // namespace figsplit
