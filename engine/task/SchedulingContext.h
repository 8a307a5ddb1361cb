#pragma once

#include <cstdint>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/content/StrongIndex.h"

namespace kf {

// One target file as the piece choice sees it.
struct SchedulingFile {
    int32_t first_piece = 0;
    int32_t piece_span = 0;
    int64_t size = 0;
    int32_t priority = 0;  // -2..2; other values are never searched
    bool skipped = false;
};

// One HTTP or FTP candidate of the task, in candidate-list order, for BuildRanges. The task builds
// the list from its candidate records and writes max_connections back after the split.
struct ServerSlot {
    RefPtr<TRefObject> source;  // the candidate record; ranges keep a reference to it
    bool torrent_line = false;  // role 1: the task's torrent location
    bool fetch_to_memory = false;
    int32_t max_connections = 1;
};

// What the block scheduler needs from its task and the task's piece map. The task implements it
// over its TPieces and its own counters; tests use a fake. Every call comes from the task thread.
// A piece outside 0..PieceCount()-1 (or a file outside 0..FileCount()-1) must be answered safely
// (false / 0 / an empty file).
class SchedulingContext {
  public:
    virtual ~SchedulingContext() = default;

    // Piece map. While PieceMapReady() is false nothing else of this group is asked.
    virtual bool PieceMapReady() = 0;
    virtual int32_t PieceCount() = 0;
    virtual int32_t PieceLength() = 0;  // a multiple of 16384
    virtual int32_t VerifiedCount() = 0;
    virtual bool IsVerified(PieceIndex piece) = 0;
    // Every byte of the piece is present and its check is pending (TPieces::IsComplete).
    virtual bool IsBeingFinished(PieceIndex piece) = 0;
    // Bytes present contiguously from the piece start.
    virtual int32_t BytesDone(PieceIndex piece) = 0;
    virtual int32_t PieceSize(PieceIndex piece) = 0;
    // The 16 KiB block is held by the piece map.
    virtual bool IsBlockDone(ContentBlock block, int32_t length) = 0;
    // Partially present pieces, in the piece map's order.
    virtual std::vector<PieceIndex> PartialPieces() = 0;
    virtual int32_t FileCount() = 0;
    virtual SchedulingFile File(FileIndex index) = 0;

    // Task.
    virtual int32_t ActiveConnections() = 0;
    virtual bool HasServerCandidates() = 0;
    virtual std::vector<ServerSlot> ServerSlots() = 0;
    // Takes back the slots after BuildRanges changed their max_connections.
    virtual void ApplyServerSlots(const std::vector<ServerSlot>& slots) = 0;
    virtual int64_t ThreadSeconds() = 0;  // how long the task thread has run
    virtual bool RandomStart() = 0;       // the task's random-piece-start setting
    virtual bool P2PEnabled() = 0;
    virtual bool IsStopping() = 0;

    // Clocks. Tick() is any fast-changing counter; it only seeds the random starts.
    virtual uint32_t Tick() = 0;
    virtual int64_t Now() = 0;          // engine seconds (the task's current time)
    virtual uint32_t QueueClock() = 0;  // SecondsSinceStart, stamped on queued requests
};

}  // namespace kf
