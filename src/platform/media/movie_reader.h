#pragma once
// The decoding reader behind MovieAsset::makeReader.
#include <memory>
#include <string>

#include "platform/media/movie.h"

namespace figsplit::media {

// Opens `path` again for this reader alone and prepares the decoder of stream `streamIndex`.
// Null with the library's text in `error` when the file or the decoder cannot be opened.
std::unique_ptr<MovieReader> makeMovieReader(const std::string& path, int streamIndex,
                                             std::string& error);

}  // namespace figsplit::media
