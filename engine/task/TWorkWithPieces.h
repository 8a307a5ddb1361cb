#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "engine/content/ResumeFile.h"
#include "engine/content/TPieces.h"
#include "engine/content/TaskLink.h"
#include "engine/task/PlainLayout.h"
#include "engine/task/TWorkWithPeers.h"

namespace kf {

// The content side of a task: its metainfo, piece map and resume file, the piece notices, the
// completion check and the read requests of the engine calls.
class TWorkWithPieces : public TWorkWithPeers {
  public:
    // Read request results.
    static constexpr int32_t kReadFailed = -3;
    static constexpr int32_t kReadStopping = -5;
    static constexpr int32_t kReadError = -6;
    static constexpr int32_t kReadNotServed = -7;

    explicit TWorkWithPieces(SwarmRegistry& swarm);
    ~TWorkWithPieces() override;

    // Engine-call side (task lock): file list of the piece map.
    int32_t GetFileCount();
    int64_t GetFileSize(int32_t file);
    // 1 relative path, 2 name, 3 full path; at most 4095 bytes. Empty when unknown.
    std::string GetFileText(int32_t file, int32_t which);
    // Reads `length` bytes at `offset` of file `file` through the worker; answers 0 with the bytes
    // in `out`, or one of the read request results. Must not be called from the worker thread.
    int32_t ReadData(int32_t file, int64_t offset, std::span<uint8_t> out);

    bool IsPieceMapReady() const { return pieces_ && piece_map_ready_; }
    void Reset(bool full, bool keep) override;

  protected:
    // Metainfo bytes for the piece map come from the resume file's "torrent" part.
    ResumeFile& Resume() { return *resume_; }
    void LoadResumeFile();
    // Saves the resume file, or deletes it once the task completed.
    void SaveOrDeleteResumeFile();
    // Builds the piece map from the resume file's "torrent" part; false when the metainfo does
    // not give one (the task then stops).
    bool BuildPieceMap();
    // A torrent arrived from a source: build the map from it, keeping the old one on failure.
    void RebuildPieceMap();
    // Builds the map of a task without metainfo (one file, pieces without digests) and keeps its
    // layout in the resume file; false when the layout is refused.
    bool BuildPlainPieceMap(const PlainLayout& layout);
    // Answers true when the task is complete and its seeding time has passed.
    bool CompletionCheck(int64_t now);
    bool IsTaskComplete() const;
    // Set by the completion check once every piece is verified and the files are final.
    bool completed_ = false;
    // Serves queued read requests (worker thread).
    void ServeReadRequests();
    // Copies the piece map's counters into the working snapshot; publishes when bytes done moved.
    void RefreshProgress() override;
    void OnPieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                       std::span<const uint8_t> bytes);
    // Hook for the layers above: a piece became verified (its "have" goes out, its engagements
    // end). Default: nothing.
    virtual void OnPieceVerified(PieceIndex piece);
    // Hook: a new piece map replaced the old one (ranges and bitfields follow it).
    virtual void OnPieceMapReplaced(bool piece_length_changed);
    // Builds the BT identity for the torrent's info-hash and registers it with the engine; with
    // `start_services` the listener is opened at once too.
    void PrepareIdentity(bool start_services);
    // Every tracker of the torrent becomes a candidate.
    void AddTrackerCandidates();

    RefPtr<TPieces> pieces_;
    bool piece_map_ready_ = false;
    bool disk_short_ = false;
    int64_t map_progress_time_ = 0;
    int32_t verified_pieces_ = 0;
    std::array<uint8_t, 20> info_hash_{};
    bool info_hash_known_ = false;

  private:
    // Forwards the piece map's notices to the task (the task's own names would clash).
    class PiecesLink : public TaskLink {
      public:
        explicit PiecesLink(TWorkWithPieces& task) : task_(task) {}
        void SetTaskState(TaskState state) override;
        void SetTaskStatus(int32_t status) override;
        void RequestStop() override { task_.RequestStop(); }
        bool IsStopRequested() override { return task_.IsStopRequested(); }
        void PieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                         std::span<const uint8_t> bytes) override {
            task_.OnPieceNotice(type, value, kind, number, bytes);
        }

      private:
        TWorkWithPieces& task_;
    };

    struct ReadRequest {
        int32_t file = 0;
        int64_t offset = 0;
        std::span<uint8_t> out;
        int32_t result = 1;  // 1 while pending
        bool picked_up = false;
    };

    PiecesParams MakePiecesParams();
    RefPtr<TPieces> MakePieceMap(RefPtr<TPieces> previous);
    void ApplyPieceMapFigures();

    PiecesLink link_{*this};
    std::unique_ptr<ResumeFile> resume_;
    int64_t last_refreshed_done_ = -1;

    std::mutex read_mutex_;
    std::condition_variable read_served_;
    std::deque<ReadRequest*> read_requests_;
};

}  // namespace kf
