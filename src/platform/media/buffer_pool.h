#pragma once
// The matte writer's pool of BGRA frame buffers of one size, rows padded to 64 bytes.
//
// A buffer is free again when the pool holds its only reference, so handing one out allocates
// nothing once the pool has grown to the number of frames in flight (at most kMaxPoolBuffers).
// Threading: the caller takes buffers and drops its references on one thread; the encoder gives
// its references back through giveBack(), under the pool's lock, so that its reading of the
// pixels happens before the next writing of them.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media/movie.h"

namespace figsplit {

class BufferPool final : public PixelBufferPool {
  public:
    static constexpr size_t kMaxPoolBuffers = 32;
    static constexpr int64_t kRowAlignment = 64;

    BufferPool(int64_t width, int64_t height);

    // Drops the encoder's reference to `buffer`.
    void giveBack(PixelBufferRef& buffer);

    PixelBufferRef takeBuffer() override;

  private:
    struct AlignedDelete {
        void operator()(uint8_t* bytes) const;
    };
    struct Slot {
        PixelBuffer buffer;
        std::unique_ptr<uint8_t[], AlignedDelete> storage;
    };
    const int64_t width_, height_, stride_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> slots_;
};

}  // namespace figsplit
