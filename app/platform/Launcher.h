#pragma once

#include <string>

namespace kf::app {

// Opens the installer, detached from the downloader (its own session, working folder = the save
// folder, only descriptors 0-2 inherited). An executable file (ELF or script) runs itself once
// its execute bit is set; anything else goes to xdg-open. The answer is the design's result:
// 33 (above 32) for success, else its error code: 2 file not found, 3 path not found, 5 access
// denied, 8 out of memory, 11 invalid executable, other values for other failures.
class Launcher {
  public:
    virtual ~Launcher() = default;
    virtual int Open(const std::string& path, const std::string& working_folder) = 0;
    // Shows a folder in the file manager (a file selected in it when `select` is given).
    virtual bool ShowFolder(const std::string& folder, const std::string& select) = 0;
};

}  // namespace kf::app
