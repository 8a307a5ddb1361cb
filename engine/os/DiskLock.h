#pragma once

#include <mutex>

namespace kf::os {

// The engine's global disk lock: one process-wide mutex held around each file transfer, so that
// the tasks' writes and cache flushes never run at the same time. Not recursive: hold it only
// around a single system call.
std::mutex& DiskLock();

}  // namespace kf::os
