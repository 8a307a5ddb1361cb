#pragma once

#include <string>

namespace kf::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path of an entry inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes `bytes` to `path`, replacing it. Answers false on failure.
bool WriteFile(const std::string& path, const std::string& bytes);

}  // namespace kf::test
