#pragma once
// Runs a piece of the program in a child process so that a failure (which ends the process) can
// be observed: the child's standard error is captured whole, with its exit status.
#include <functional>
#include <string>

namespace figsplit::testing {

struct ChildOutcome {
    int exitStatus = -1;  // the status passed to exit, or 128 + signal number
    std::string stderrText;
};

// `body` runs in a forked child with file descriptor 2 going to a pipe; its return value is the
// child's exit status.
ChildOutcome runInChild(const std::function<int()>& body);

// Memory shared between the test and its children, zero-filled; unmapped by the destructor.
template <typename T>
class SharedRecord {
  public:
    SharedRecord();
    ~SharedRecord();
    SharedRecord(const SharedRecord&) = delete;
    SharedRecord& operator=(const SharedRecord&) = delete;
    T* operator->() { return record_; }
    T& operator*() { return *record_; }
    T* get() { return record_; }

  private:
    T* record_;
};

void* mapShared(size_t bytes);
void unmapShared(void* address, size_t bytes);

template <typename T>
SharedRecord<T>::SharedRecord() : record_(new (mapShared(sizeof(T))) T{}) {}

template <typename T>
SharedRecord<T>::~SharedRecord() {
    record_->~T();
    unmapShared(record_, sizeof(T));
}

}  // namespace figsplit::testing
