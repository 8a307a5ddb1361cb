#pragma once

#include <cstdint>
#include <string>

namespace kf::app {

// The downloader's state. The numbers are the design's; 2, 9 and 14 exist only in the state log's
// table (nothing enters them) and 17 marks a window destroyed without a user exit.
enum class DownloadState : int32_t {
    kBack = 0,           // not started and not enough free space
    kReady = 1,          // not started; waiting for the user
    kPreparing = 3,      // tasks created, no progress yet
    kDownloading = 4,    // data is flowing
    kPause = 5,          // paused
    kResume = 6,         // resumed by the user
    kFailed = 7,         // a fatal error; left only by restarting the program
    kFinished = 8,       // all three files complete
    kRetry = 9,          // named in the state log, never entered
    kMd5Checking = 10,   // the MD5 check runs
    kCheckRecover = 11,  // a damaged file is being repaired
    kCheckFinished = 12,
    kInstalling = 13,
    kRecover = 15,  // a saved download was reloaded and can continue
    kReload = 16,   // reloaded and needs checking, or progress appeared while preparing
    kDestroyed = 17,
};

// The name the state log prints ("back", "ready", ...); the number for states without a name.
std::string StateName(DownloadState state);

// preparing, downloading, resume, recover and reload (and retry, which nothing enters).
bool IsActiveState(DownloadState state);

}  // namespace kf::app
