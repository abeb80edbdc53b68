#pragma once
// A small blocking FIFO between one producer thread and one consumer thread. Closing it wakes
// both sides: push then refuses, pop drains what is left and then reports the end.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace figsplit::media {

template <typename T>
class BoundedQueue {
  public:
    explicit BoundedQueue(size_t capacity) : slots_(capacity) {}

    // Blocks while the queue is full; false (and `item` dropped) once the queue is closed.
    bool push(T item) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return closed_ || count_ < slots_.size(); });
        if (closed_) return false;
        slots_[(head_ + count_) % slots_.size()].emplace(std::move(item));
        ++count_;
        notEmpty_.notify_one();
        return true;
    }

    // Blocks while the queue is empty and open; nothing once it is closed and drained.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [&] { return closed_ || count_ > 0; });
        if (count_ == 0) return std::nullopt;
        std::optional<T> item(std::move(slots_[head_]));
        slots_[head_].reset();
        head_ = (head_ + 1) % slots_.size();
        --count_;
        notFull_.notify_one();
        return item;
    }

    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

    bool full() const {
        std::lock_guard lock(mutex_);
        return count_ >= slots_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::vector<std::optional<T>> slots_;  // a ring of `count_` items starting at `head_`
    size_t head_ = 0, count_ = 0;
    bool closed_ = false;
};

}  // namespace figsplit::media
