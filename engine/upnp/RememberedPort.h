#pragma once

#include <cstdint>
#include <string>

namespace kf {

// The listen port of the previous run, kept in a small text file beside the engine's data, so
// that a new run asks the gateway for the same forwarding instead of adding another one.
//
// Owner and threads: a value; one caller at a time per file. Results: Load answers 0 when there is
// no file, or its text is not a port; Store answers whether the file was replaced.
// Limits: the file is read up to 16 bytes; it is replaced atomically.
class RememberedPort {
  public:
    explicit RememberedPort(std::string path) : path_(std::move(path)) {}

    int32_t Load() const;
    bool Store(int32_t port) const;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace kf
