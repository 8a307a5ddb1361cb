#pragma once

#include <cstdint>
#include <string>

#include "engine/task/TWorkWithPeers.h"

namespace kf {

// One download task with its worker thread: the thread body and the operations behind the engine
// calls. The worker prepares the task (reads a "file://" torrent), then runs its loop until it is
// told to stop, and publishes its progress for the engine calls.
class TWorkThread : public TWorkWithPeers {
  public:
    // Torrents larger than this are refused as unreadable.
    static constexpr int64_t kMaxTorrentBytes = 64 * 1024 * 1024;

    TWorkThread() = default;
    ~TWorkThread() override;

    int32_t Stop();
    int32_t StartDownload();
    int32_t ContinueDownload();
    int32_t Start() { return StartDownload(); }
    int32_t Pause();

    // The metainfo bytes read by the last preparation (empty when none).
    std::string TorrentBytes();

  protected:
    void Run() override;

  private:
    bool Prepare();
    void SetStatus(int32_t status);
    void SetState(int32_t state);

    std::string torrent_bytes_;
};

}  // namespace kf
