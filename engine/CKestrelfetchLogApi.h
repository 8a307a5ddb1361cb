#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/CKestrelfetchLog.h"

namespace kf {

// The process-wide engine log. A line goes to the debugger output when its level reaches the
// debug threshold and is appended to one of eleven channel files when its channel reaches the
// file threshold. With the initial thresholds (38 and 2) only the dump channel (38) reaches a file.
// Any thread may write; lines never interleave. Files are opened and closed for each line.
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

    int32_t file_threshold_ = 38;
    int32_t debug_threshold_ = 2;
    mutable std::mutex section_;
    std::array<std::string, kFileCount> paths_;
};

// The global log: created by CreateEngineLog, released by ReleaseEngineLog. Writes while no log
// exists do nothing.
void CreateGlobalLog();
// Makes the log's process-wide storage exist now, so that it outlives whoever calls this first
// during start-up (objects are destroyed in reverse order of construction).
void TouchLogStorage();
void ReleaseGlobalLog();
void GlobalLogSetThresholds(int32_t file_threshold, int32_t debug_threshold);
void GlobalLogSetPathPrefix(const char* prefix);
void GlobalLogWrite(const char* text, int32_t channel, int32_t level);

// Writes one line on `channel` (the level equals the channel, as everywhere in the engine).
void EngineLogWrite(std::string_view text, int32_t channel);

}  // namespace kf
