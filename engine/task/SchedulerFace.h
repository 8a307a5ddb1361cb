#pragma once

#include <cstdint>
#include <vector>

#include "engine/task/SchedulingContext.h"
#include "engine/task/TWorkThread.h"

namespace kf {

// The task and its piece map as the block scheduler sees them: the piece map's answers, the
// candidate records behind the server slots, the task's settings, switches and clocks.
//
// Owner: its TWorkThread, which makes it before the scheduler and destroys it after. Thread: the
// task thread only. Results: with no piece map, or for a piece or file number outside the map,
// every piece-map answer is false, 0 or empty.
class TWorkThread::SchedulerFace : public SchedulingContext {
  public:
    explicit SchedulerFace(TWorkThread& task) : task_(task) {}

    bool PieceMapReady() override;
    int32_t PieceCount() override;
    int32_t PieceLength() override;
    int32_t VerifiedCount() override;
    bool IsVerified(PieceIndex piece) override;
    bool IsBeingFinished(PieceIndex piece) override;
    int32_t BytesDone(PieceIndex piece) override;
    int32_t PieceSize(PieceIndex piece) override;
    bool IsBlockDone(ContentBlock block, int32_t length) override;
    std::vector<PieceIndex> PartialPieces() override;
    int32_t FileCount() override;
    SchedulingFile File(FileIndex index) override;

    int32_t ActiveConnections() override;
    bool HasServerCandidates() override;
    std::vector<ServerSlot> ServerSlots() override;
    void ApplyServerSlots(const std::vector<ServerSlot>& slots) override;
    int64_t ThreadSeconds() override;
    bool RandomStart() override;
    bool P2PEnabled() override;
    bool IsStopping() override;

    uint32_t Tick() override;
    int64_t Now() override;
    uint32_t QueueClock() override;

  private:
    bool InRange(PieceIndex piece);

    TWorkThread& task_;
};

}  // namespace kf
