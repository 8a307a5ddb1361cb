#pragma once

#include <cstdint>
#include <string>

#include "engine/task/TWorkWithTransStatis.h"

namespace kf {

// One download task with its worker thread: the thread body, the loop and its timers, and the
// operations behind the engine calls.
class TWorkThread : public TWorkWithTransStatis {
  public:
    // Torrents larger than this are refused as unreadable.
    static constexpr int64_t kMaxTorrentBytes = 64 * 1024 * 1024;

    TWorkThread() = default;
    ~TWorkThread() override;

    int32_t Stop();
    int32_t StartDownload();
    // Starts the thread in recovery mode (the thread body loads the resume file first).
    int32_t ContinueDownload();
    int32_t Start() { return StartDownload(); }
    int32_t Pause();

  protected:
    void Run() override;

  private:
    bool Prepare();
    // One pass of the loop's work; answers the current time in seconds.
    int64_t Tick();
    void PerSecondStep(int64_t now);
    bool NoSourceLeft(int64_t now);
    void SetStatus(int32_t status);
    void SetState(int32_t state);
    void SleepPass();

    // Loop timers (tick counts in ms, engine seconds).
    uint64_t last_second_tick_ = 0;
    int64_t last_save_time_ = 0;
    int64_t last_cache_time_ = 0;
    int32_t sleep_ms_ = 6;
    bool save_now_ = false;
};

}  // namespace kf
