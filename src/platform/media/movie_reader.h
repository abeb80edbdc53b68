#pragma once
// The decoding reader behind MovieAsset::makeReader.
#include <atomic>
#include <memory>
#include <string>

#include "platform/media/av_handles.h"
#include "platform/media/movie.h"

namespace figsplit::media {

// A movie opened once by its asset and handed to its reader: the demuxer, which still holds
// the packets read while probing, and the flag that its interrupt callback watches (set to
// abort a blocking read when the reader is destroyed).
struct OpenedMovie {
    InputContextPtr context;
    std::unique_ptr<std::atomic<bool>> stop;
};

// The interrupt callback for an OpenedMovie: `opaque` is its stop flag.
int stopRequested(void* opaque);

// Takes over `movie` and prepares the decoder of stream `streamIndex`. Reading goes on where
// probing left off, so a pipe or FIFO, which cannot be opened a second time, is read through.
// Null with the library's text in `error` when the decoder cannot be opened.
std::unique_ptr<MovieReader> makeMovieReader(OpenedMovie movie, int streamIndex,
                                             std::string& error);

}  // namespace figsplit::media
