#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/EngineGlobals.h"
#include "engine/content/TaskState.h"
#include "engine/net/QProxyConfig.h"
#include "engine/peers/BlockRequest.h"

namespace kf {

class TPeerId;
class TPeerObject;
struct PeerWork;
struct Range;

// The task as its peer objects see it. The task's work object implements it; peer tests use a
// fake. Every call comes from the task's own thread. Piece and block numbers are content-wide.
class PeerTask {
  public:
    virtual ~PeerTask() = default;

    // Time and switches.
    virtual int64_t CurrentTime() = 0;  // the task's current time, engine seconds
    virtual bool P2PEnabled() = 0;
    virtual bool IsStopping() = 0;

    // Content. Nothing below is meaningful while ContentSizeKnown() is false.
    virtual bool ContentSizeKnown() = 0;
    virtual int64_t ContentSize() = 0;
    virtual int32_t PieceCount() = 0;
    virtual int32_t PieceLength() = 0;
    virtual bool IsComplete() = 0;         // every piece verified: the task is seeding
    virtual int32_t PreferredPiece() = 0;  // -1 when no read request prefers a piece

    // Piece state and engagement.
    virtual bool WantsPiece(int32_t piece) = 0;
    virtual bool EngagePiece(int32_t piece) = 0;
    virtual void ReleasePiece(int32_t piece) = 0;
    virtual bool InEndGame() = 0;
    virtual bool IsPieceVerified(int32_t piece) = 0;
    // The byte range [first, second) of `piece` still missing; second is 0 when none is.
    virtual std::pair<int32_t, int32_t> MissingRange(int32_t piece) = 0;
    virtual bool IsBlockDone(int32_t block, int32_t length) = 0;

    // Block delivery. `accepted`: the piece map took the bytes; `piece_failed`: they completed a
    // piece that failed its check (the task has then released the piece and counted the failure
    // against `from`).
    struct WriteResult {
        bool accepted = false;
        bool piece_failed = false;
    };
    virtual WriteResult WriteBlock(int32_t block, std::span<const uint8_t> bytes,
                                   TPeerObject& from) = 0;
    // In-place delivery, so that a peer can read from its socket straight into the piece cache:
    // the memory where the bytes of `block` from `offset` (inside the block) to the block's end
    // belong, or empty when they cannot be taken in place (the peer then delivers a copy through
    // WriteBlock). CommitBlockBytes takes `length` bytes written there, answering as WriteBlock.
    // Non-pure: a task without an in-place store keeps the copying path.
    virtual std::span<uint8_t> BlockRoom(int32_t /*block*/, int32_t /*offset*/) { return {}; }
    virtual WriteResult CommitBlockBytes(int32_t /*block*/, int32_t /*offset*/, int32_t /*length*/,
                                         TPeerObject& /*from*/) {
        return {};
    }
    // Removes the request from the shared block list; false when it is not there.
    virtual bool TakeFromSharedBlocks(const BlockRequest& request) = 0;
    // Gives requests back (to the shared block list, or dropped while stopping).
    virtual void ReturnBlocks(std::deque<BlockRequest> blocks) = 0;

    // HTTP and FTP work: the next piece for this connection from its range (assigning one when it
    // holds none), or -1.
    virtual int32_t NextServerPiece(PeerWork& peer) = 0;
    // Gives up the range the connection holds (queued blocks go back).
    virtual void ReleaseRange(PeerWork& peer) = 0;
    // The connection reached the end of its range: done, then removed or kept for another pass.
    virtual void FinishRange(PeerWork& peer) = 0;
    // The task's preferred piece moved: split the range that contains it and give the tail to
    // this connection. Answers the range's first piece, or -1.
    virtual int32_t TakeRangeAtPreferred(PeerWork& peer) = 0;

    // Transfer accounting and allowances (bytes in the current second).
    virtual void CountPayload(int32_t peer_kind, int32_t bytes) = 0;
    virtual int32_t DownloadAllowance() = 0;
    virtual int32_t UploadAllowance() = 0;
    // Added for the peer pump: an established peer still holds unsent bytes after its tick (the
    // task's send turn reads the count). Non-pure so that existing tasks need not change.
    virtual void NotePendingSend() {}

    // Sources.
    virtual void AddSource(TPeerId& record, bool from_lan, bool replace_id) = 0;
    virtual void RemoveSource(TPeerId& record) = 0;
    virtual void SetTaskState(TaskState state) = 0;
    // Records a status; an unresolvable source (20216) is published at once.
    virtual void SetTaskStatus(int32_t status) = 0;
    // The task's own proxy for its server and BT connections; none means the engine-wide one.
    virtual std::optional<QProxyConfig> TaskProxy() { return std::nullopt; }

    // Tracker: what an announce tells a tracker about the task.
    // Non-pure with neutral defaults (a task that never announces need not implement them).
    // Addresses are IPv4 in network order.
    virtual std::array<uint8_t, 20> InfoHash() { return {}; }
    // The peer id of HTTP announces (its own digest input); UDP announces carry HandshakePeerId.
    virtual std::array<uint8_t, 20> AnnouncePeerId() { return {}; }
    virtual std::array<uint8_t, 20> HandshakePeerId() { return {}; }
    virtual int32_t ListenPort() { return 0; }
    // The listening socket's local address; 0 when not known.
    virtual uint32_t ListenAddress() { return 0; }
    // The engine-wide local address outgoing connections bind to; 0 (unspecified) lets the
    // system pick.
    virtual uint32_t LocalBindAddress() { return 0; }
    virtual int64_t UploadedTotal() { return 0; }
    virtual int64_t DownloadedTotal() { return 0; }
    virtual int64_t BytesLeft() { return 0; }  // content size − bytes done
    // --- BitTorrent -------------------------------------------------------------------------
    // What a BitTorrent wire peer (TBTPeer) needs from its task, beyond the tracker block's
    // InfoHash and HandshakePeerId (the task's own 68-byte handshake carries those two). Non-pure
    // with safe defaults: a task that does not implement them refuses every handshake (IsBtTask
    // false), plans no BT requests and serves no uploads.

    // The task is a BitTorrent or P2SP task: its handshake may be accepted.
    virtual bool IsBtTask() { return false; }
    // The verified pieces, (piece count + 7) ÷ 8 bytes, piece 0 in the high bit of byte 0; empty
    // while the piece count is unknown.
    virtual std::vector<uint8_t> BitfieldBytes() { return {}; }
    // Outgoing handshakes begin with an HTTP-shaped request (the engine's switch).
    virtual bool HttpWrappedHandshake() {
        return EngineGlobals::Instance().http_wrapped_handshake.load();
    }
    // The UDP transport may carry a BT connection now (running, external address known, and the
    // prefer-UDP switch on or the task's current rate below 368640 bytes per second), the
    // prefer-UDP switch itself, and the number of candidates of the task. Until the UDP endpoint
    // exists every outgoing connection is real TCP.
    virtual bool UdpTransportUsable() { return false; }
    virtual bool PreferUdpTransport() { return false; }
    virtual int32_t CandidateCount() { return 0; }

    // One planning turn of the block scheduler for a connected BT peer (shared blocks first, then
    // up to three piece choices), and the BT piece choice alone (the piece is engaged).
    struct BtPlan {
        bool ran = false;       // the planning step ran
        bool complete = false;  // the task has every piece: queued requests are to be cancelled
        int32_t queued = 0;     // requests added to the peer's queue
        int32_t shared = 0;     // requests added to the shared block list
    };
    virtual BtPlan PlanBtRequests(PeerWork& /*peer*/) { return {}; }
    virtual int32_t NextBtPiece(PeerWork& /*peer*/) { return -1; }
    // The shared block list (end game and requests left behind): whether an equal request is
    // there, and adding a copy of one.
    virtual bool InSharedBlocks(const BlockRequest& /*request*/) { return false; }
    virtual void AddSharedBlock(const BlockRequest& /*request*/) {}

    // Uploads: reads `out.size()` bytes of verified piece `piece` from `begin` on (false when they
    // cannot be had), and counts bytes sent to a BT peer in the task's upload total.
    virtual bool ReadBlock(int32_t /*piece*/, int32_t /*begin*/, std::span<uint8_t> /*out*/) {
        return false;
    }
    virtual void CountUploaded(int32_t /*bytes*/) {}
    // The task's peer-slot target (how many BT peers are served on every pass) and the number of
    // connected BT peers that held unsent bytes after their last turn.
    virtual int32_t PeerSlotTarget() { return 6; }
    virtual int32_t PeersWithUnsentData() { return 0; }

    // Peers. The task's BT record for an incoming peer's address (found or made); null when the
    // task keeps none (the peer then makes a record of its own).
    virtual TPeerId* AddPeerAddress(uint32_t /*ip*/, int32_t /*port*/) { return nullptr; }
    // Another connected BT peer of the task (`incoming_only`: another incoming one) has this
    // address (network order) and peer id.
    virtual bool HasPeerWithId(uint32_t /*ip*/, const std::array<uint8_t, 20>& /*peer_id*/,
                               const TPeerObject& /*except*/, bool /*incoming_only*/) {
        return false;
    }
    // A handshake was accepted from this address: the task's list of connected addresses.
    virtual void NoteConnectedAddress(uint32_t /*ip*/, int32_t /*port*/) {}
    // The bitfield of an outgoing connection told how many pieces its source has.
    virtual void NoteSourcePieces(TPeerId& /*source*/, int32_t /*pieces*/) {}
};

}  // namespace kf
