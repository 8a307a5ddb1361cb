#pragma once

#include <optional>

#include "engine/content/StrongIndex.h"

namespace kf {

struct PeerWork;

// The task's piece ranges as a connection holds them: the HTTP and FTP connections' share of the
// server ranges, and (for ReleaseRange) a BitTorrent peer's private run.
//
// Owner: the task (its work object implements it over its block scheduler; peer tests use a
// fake), which outlives its peers. Thread: the task's own thread, every call.
class TaskRanges {
  public:
    virtual ~TaskRanges() = default;

    // The next piece for this connection from its range (assigning one when it holds none), if
    // any.
    virtual std::optional<PieceIndex> NextServerPiece(PeerWork& peer) = 0;
    // Gives up the range the connection holds (queued blocks of a server range go with it).
    virtual void ReleaseRange(PeerWork& peer) = 0;
    // The connection reached the end of its range: done, then removed or kept for another pass.
    virtual void FinishRange(PeerWork& peer) = 0;
    // The task's preferred piece moved: split the range that contains it and give the tail to
    // this connection. Answers the range's first piece, if any.
    virtual std::optional<PieceIndex> TakeRangeAtPreferred(PeerWork& peer) = 0;
};

}  // namespace kf
