#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes.
#include <string>
#include <vector>

namespace figsplit::testing {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of `name` inside the directory (nothing is created).
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The names in `directory`, sorted (no "." or "..").
std::vector<std::string> directoryEntries(const std::string& directory);

}  // namespace figsplit::testing
