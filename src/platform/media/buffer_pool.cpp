#include "platform/media/buffer_pool.h"

#include <new>

namespace figsplit {

void BufferPool::AlignedDelete::operator()(uint8_t* bytes) const {
    ::operator delete[](bytes, std::align_val_t(kRowAlignment));
}

BufferPool::BufferPool(int64_t width, int64_t height)
    : width_(width),
      height_(height),
      stride_((width * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment) {}

void BufferPool::giveBack(PixelBufferRef& buffer) {
    std::lock_guard lock(mutex_);
    buffer.reset();
}

PixelBufferRef BufferPool::takeBuffer() {
    std::lock_guard lock(mutex_);
    for (const std::shared_ptr<Slot>& slot : slots_) {
        if (slot.use_count() == 1) return PixelBufferRef(slot, &slot->buffer);
    }
    if (slots_.size() >= kMaxPoolBuffers) return nullptr;
    try {
        auto slot = std::make_shared<Slot>();
        slot->storage.reset(static_cast<uint8_t*>(::operator new[](
            static_cast<size_t>(stride_ * height_), std::align_val_t(kRowAlignment))));
        slot->buffer = PixelBuffer{width_, height_, stride_, slot->storage.get()};
        slots_.push_back(slot);
        return PixelBufferRef(slot, &slot->buffer);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace figsplit
