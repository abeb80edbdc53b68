// Placeholder until the engine lands: every segmenter fails to load.
#include "platform/segmenter.h"

namespace figsplit {
SegmenterResult makeSegmenter(Quality, bool) { return {nullptr, "the engine is not built yet"}; }
}  // namespace figsplit
