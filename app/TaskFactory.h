#pragma once

#include <string>

#include "app/ControllerContext.h"

namespace kf::app {

// Writes out the embedded resources and makes the engine tasks of the three files.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class TaskFactory {
  public:
    explicit TaskFactory(ControllerContext& context) : context_(context) {}

    // Writes `bytes` as folder/name, the folder created when missing: 0; else into the
    // temporary folder: 1; both failed: -1. `written` gets the path that holds the bytes.
    int Release(const std::string& bytes, const std::string& folder, const std::string& name,
                std::string* written);
    // File `index`'s task: its default source, flags 0x100002, the metainfo released as the
    // file's MD5 (adding the P2SP flag) when the product has one, the full target path and the
    // resume file.
    TaskSpec SpecFor(int index);
    // CreateAndStartTask; the handle is kept on success.
    int32_t Create(int index);
    // RecoverAndContinueTask; the handle is kept on success.
    int32_t Recover(int index, bool force);

  private:
    ControllerContext& context_;
};

}  // namespace kf::app
