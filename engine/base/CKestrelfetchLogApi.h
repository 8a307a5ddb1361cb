#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/base/CKestrelfetchLog.h"

namespace kf {

// The engine log's writer. A line goes to the debugger output when its level reaches the
// debug threshold and is appended to one of eleven channel files when its channel reaches the
// file threshold. With the initial thresholds (38 and 2) only the dump channel (38) reaches a file.
// Any thread may write; lines never interleave. Files are opened and closed for each line. The
// process-wide instance is reached through EngineLog.h.
class CKestrelfetchLogApi : public CKestrelfetchLog {
  public:
    static constexpr int32_t kOff = 39;       // in both thresholds: no logging at all
    static constexpr size_t kLineMax = 4096;  // a formatted line never exceeds this, NUL included
    static constexpr size_t kPathMax = 4096;

    CKestrelfetchLogApi();

    void SetThresholds(int32_t file_threshold, int32_t debug_threshold) override;
    void SetPathPrefix(const char* prefix) override;
    void Write(const char* text, int32_t channel, int32_t level) override;
    void DebugPrintf(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // Whether a line with this channel and level goes anywhere; lock-free.
    bool Wants(int32_t channel, int32_t level) const;
    // The same rule for given thresholds.
    static bool Passes(int32_t file_threshold, int32_t debug_threshold, int32_t channel,
                       int32_t level);

    // The file a channel's lines go to (empty before SetPathPrefix).
    std::string FileForChannel(int32_t channel) const;

  private:
    enum FileIndex {
        kMain,
        kRequest,
        kDump,
        kCheckTask,
        kPeerPreference,
        kDataUpload,
        kHttpTrace,
        kCheckPeer,
        kWritten,
        kSha1Check,
        kPeerInfo,
        kFileCount
    };
    static FileIndex FileIndexForChannel(int32_t channel);

    // Written under section_, read without it by Wants.
    std::atomic<int32_t> file_threshold_{38};
    std::atomic<int32_t> debug_threshold_{2};
    mutable std::mutex section_;
    std::array<std::string, kFileCount> paths_;
};

}  // namespace kf
