#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/net/SocketWaitSet.h"
#include "engine/os/FileLock.h"
#include "engine/task/BlockScheduler.h"
#include "engine/task/PieceBlame.h"
#include "engine/task/SchedulingContext.h"
#include "engine/task/TWorkWithTransStatis.h"

namespace kf {

// One download task with its worker thread: the thread body, the loop and its timers, the
// operations behind the engine calls, and the two faces the task shows its helpers (the peer
// objects and the block scheduler).
class TWorkThread : public TWorkWithTransStatis {
  public:
    // Torrents larger than this are refused as unreadable.
    static constexpr int64_t kMaxTorrentBytes = 64 * 1024 * 1024;

    explicit TWorkThread(SwarmRegistry& swarm);
    ~TWorkThread() override;

    int32_t Stop();
    int32_t StartDownload();
    // Starts the thread in recovery mode (the thread body loads the resume file first).
    int32_t ContinueDownload();
    int32_t Start() { return StartDownload(); }
    // Starts over from nothing: thread stopped, the first target file and the resume files
    // deleted, progress forgotten, thread started again.
    int32_t Restart();
    int32_t Pause();

    void Reset(bool full, bool keep) override;

  protected:
    void Run() override;

    // Peer side.
    RefPtr<TPeerObject> MakePeer(PeerKind kind) override;
    bool ContentComplete() override { return IsTaskComplete(); }
    bool PieceMapReady() override { return IsPieceMapReady(); }
    int32_t SmoothedSpeed() override { return smoothed_speed_; }
    int64_t TaskNow() override { return now_; }
    int32_t AverageDownload() override { return average_download_; }
    void CountPeerTraffic(int32_t received, int32_t sent) override;
    void ReportUnresolvable() override;
    std::vector<std::string> TorrentTrackers() override;
    void OnPeerLeaving(TPeerObject& peer) override;

    // Content side.
    void OnPieceVerified(PieceIndex piece) override;
    void OnPieceMapReplaced(bool piece_length_changed) override;

  private:
    class PeerFace;
    class SchedulerFace;

    // One owner per download: the lock beside the resume file, held while the thread runs.
    // False when another task or process holds it (the task then ends with KF_STATUS_IN_USE).
    bool TakeOwnership();
    bool Prepare();
    // One pass of the loop's work; answers the current time in seconds.
    int64_t Tick();
    void PeerStep();
    void PerSecondStep();
    // Publishes a download that has just completed at once: whoever waits for it need not wait
    // for the next once-per-second publication.
    void PublishCompletion();
    bool NoSourceLeft();
    // A task without metainfo lays out its file once a server has told the size.
    void LayOutFromServerSize();
    void SetStatus(int32_t status);
    // The loop's pause: waits at most `ms` for traffic on the peers' connections and notes which
    // peers have something to do.
    void WaitForTraffic(int32_t ms);
    // True once the task is complete and no peer other than a tracker has been active for
    // kIdleSeedingSeconds.
    bool IdleSeeding();
    // What the engine calls report of the task's holdings: each second its connections and
    // candidates, every 4 seconds the bytes its files take on disk.
    void NoteHoldings();
    void NoteDiskBytes();
    // Bad data (TWorkThreadPieces.cpp): `from` delivered a block, holding `bytes`, that the piece
    // map did not hold yet; a piece failed its check. A failure is charged to the peer that
    // delivered every block of the piece, or the piece goes to one peer alone and the peers whose
    // blocks differ from the good copy are charged once it passes (PieceBlame); a peer is banned
    // at its second charged piece. Notices and log lines tell what happened.
    void NoteBlockFrom(ContentBlock block, std::span<const uint8_t> bytes, const TPeerObject& from);
    void OnPieceFailed(PieceIndex piece);
    void ChargePeer(PieceIndex piece, const PieceBlame::Charge& charge, std::string_view why);

    os::FileLock owner_lock_;
    std::unique_ptr<PeerFace> peer_face_;
    std::unique_ptr<SchedulerFace> scheduler_face_;
    std::unique_ptr<BlockScheduler> scheduler_;
    PieceBlame blame_;
    SocketWaitSet wait_set_;
    std::vector<const TPeerObject*> waited_peers_;
    std::vector<const TPeerObject*> ready_peers_;

    // Loop timers (tick counts in ms, engine seconds) and pass counters.
    int64_t now_ = 0;
    uint64_t last_second_tick_ = 0;
    uint64_t last_rates_tick_ = 0;
    uint64_t last_early_open_tick_ = 0;
    uint64_t last_dht_tick_ = 0;
    int64_t size_vote_since_ = 0;   // when a server first stated the size of a plain download
    bool peers_announced_ = false;  // a source added a BT peer since the last pass
    int64_t last_peer_seen_ = 0;    // the last second a peer other than a tracker was active
    int64_t last_save_time_ = 0;
    int64_t last_held_write_ = 0;
    int64_t last_cache_time_ = 0;
    int64_t last_source_refresh_ = 0;
    int64_t last_eight_second_ = 0;
    int64_t last_lan_time_ = 0;
    int64_t last_have_time_ = 0;
    uint64_t last_incoming_tick_ = 0;
    bool listener_ready_ = false;
    int32_t eight_second_passes_ = 0;
    int32_t pass_ = 0;
    int32_t sleep_ms_ = 6;
    bool save_now_ = false;
    // Payload sent to BT peers in this run, and the connected BT peers that held unsent bytes
    // after their last turn (counted again on every pass).
    int64_t uploaded_payload_ = 0;
    int32_t pending_senders_ = 0;
};

}  // namespace kf
