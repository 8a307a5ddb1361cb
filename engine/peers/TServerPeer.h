#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/peers/TPeerObject.h"

namespace kf {

// The part a download from a server (THttpPeer, TFtpPeer) shares: the file read as one stream at
// a known position, cut into the queued 16 KiB blocks with skips over unwanted bytes, read
// straight into the piece cache where it can, or collected into the source record in
// fetch-to-memory mode. The kinds keep their own dialogue (HTTP header, FTP control replies) and
// decide when to skip, reposition or fail.
//
// Owner and thread: as every peer object (TPeerObject), on the task's thread.
//
// Trust: the server is untrusted; stream bytes are written only as requested blocks at the
// position the kind has proved, and a memory body is capped at kMaxMemoryBody.
class TServerPeer : public TPeerObject {
  public:
    static constexpr int64_t kMaxMemoryBody = 64 * 1024 * 1024;

    // A time-out (TimeoutSeconds without activity, doubled while the rate is below 2 KiB/s)
    // sets the timed-out status and gives the range back.
    bool TimedOut() override;
    // Gives the range back; the stream's skip and run are planned again.
    void ReleaseRange() override;

    int64_t Position() const { return position_; }
    int64_t Skip() const { return skip_; }

  protected:
    TServerPeer(PeerKind type, const TaskFaces& task);

    // Seconds without activity before the peer times out, in its present phase.
    virtual int64_t TimeoutSeconds() const = 0;
    // Ends the connection(s), adds `penalty` to the source, logs `why` where the kind logs;
    // answers false.
    virtual bool End(int32_t penalty, std::string_view why) = 0;
    // The stream moved on by `bytes` delivered or committed (not skipped); `block_ended` when
    // they completed a block.
    virtual void OnStreamBytes(int64_t bytes, bool block_ended) = 0;

    // True for a byte that would break a request or command line (a control byte).
    static bool HasControlBytes(std::string_view text);

    // Connects the peer's connection to the attached source (through the task's proxy if it has
    // one). Answers IsConnected.
    bool ConnectToSource();
    // Starts `conn` towards the source's server at `port`: by address, or by host name when the
    // proxy resolves it (the task's proxy, else the engine-wide one).
    bool ConnectToServer(QSocket& conn, int32_t port);
    // The source states a size and the task knows another one.
    bool SizeDiffersFromTask();
    // Plans the next blocks of this connection's range when none are queued, and finishes the
    // range once it is done. False (status finished) when nothing is left to fetch.
    bool PlanServerRange();

    // Throws up to skip_ of the `available` − `offset` bytes buffered; answers the bytes thrown.
    int64_t SkipBuffered(int64_t available, int64_t& offset);
    enum class Cut { kDelivered, kShort, kRefused };
    // Delivers `head` from `bytes` at `offset` when the buffer holds all of it (kShort when not),
    // moving offset and position past it.
    Cut CutBlock(const BlockRequest& head, std::span<const uint8_t> bytes, int64_t& offset);

    // Gathers into rooms_ the piece-cache rooms of the first `run` queued blocks from the stream
    // position (`filled` bytes into the head block), as long as they follow each other and each
    // is exactly the rest of its block, `limit` bytes at most.
    void GatherRooms(size_t run, int64_t filled, int64_t limit);
    // Commits the `read` bytes that a read into rooms_ took: a finished block is delivered, a
    // part of one committed. False when one was refused (or the queue changed under the read).
    bool CommitRooms(int64_t read);

    // Appends the bytes `from` holds to the source's memory body, up to its stated length (the
    // rest is dropped). A body that would pass kMaxMemoryBody ends the peer (penalty 60, false).
    // Once complete the body is marked done, and the status finished when `finish`.
    bool AppendMemoryBody(QSocket& from, bool finish);

    int64_t position_ = 0;                   // the file offset of the stream's next byte
    int64_t skip_ = 0;                       // stream bytes to throw before the next wanted block
    std::vector<std::span<uint8_t>> rooms_;  // the in-place read's destinations (reused)
};

}  // namespace kf
