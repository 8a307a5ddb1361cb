#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/net/QSocket.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TPeerObject.h"

namespace kf {

// Exchanges pieces with one BitTorrent peer over the peer wire protocol (BtWire): the 68-byte
// handshake (optionally behind an HTTP-shaped request, answered on incoming connections with a
// fake HTTP response), then bitfield, have, request, piece and cancel messages. Outgoing requests
// come from the task's block scheduler (TaskContent::PlanBtRequests); uploads are read from the
// task's piece store. Choking decisions and "have" announcements are the task's: it calls Choke,
// Unchoke and SendRaw.
//
// Owner and thread: as every peer object (TPeerObject), on the task's thread.
//
// Trust: the remote is untrusted. Message lengths are bounded by BtWire (524288 bytes, blocks of
// 131072); a bitfield of the wrong size, an impossible length or a block nobody asked for drops
// the connection (a block we asked for and cancelled since is dropped quietly: the remote may have
// sent it before the cancel arrived); wrong payload sizes discard what is buffered and count an
// error. A piece that fails its check does not end the connection that delivered its last block:
// the task finds the peer at fault and bans it. Remote requests are kept only for verified pieces,
// on 16 KiB boundaries, at most 16384 bytes long and inside the piece (others could not be answered
// with the bytes asked for), and at most kMaxPeerRequests of them at a time.
//
// A received BlockUnavailable notice (sent by peers of this engine when their piece store cannot
// read a block) means the remote lacks that piece after all: its bit is cleared and the requests
// for it go back to the task for other peers.
class TBTPeer : public TPeerObject {
  public:
    static constexpr int32_t kConnectTimeout = 22;     // seconds, real TCP
    static constexpr int32_t kUdpConnectTimeout = 28;  // seconds, over the UDP transport
    static constexpr int32_t kHandshakeTimeout = 12;   // seconds after the connection completed
    static constexpr int32_t kIdleAfter = 120;
    static constexpr int32_t kUselessAfter = 90;
    static constexpr int32_t kSeedTooLongAfter = 15;
    // Greedy reads stop here. The messages are parsed after every turn and a ready socket is
    // served again in the next pass, so a larger buffer only costs memory per connection.
    static constexpr int32_t kMaxBuffered = 1048576;
    // Requests in flight and queued. libtorrent-style peers refuse requests beyond a few hundred
    // in flight, and the scheduler's queue is searched linearly: both are bounded whatever the
    // measured rate.
    static constexpr int32_t kMaxOutstanding = 384;
    static constexpr int32_t kMaxQueued = 1024;
    static constexpr size_t kMaxPeerRequests = 2048;
    // Cancelled requests remembered, so that the blocks still on their way are known for ours.
    static constexpr size_t kMaxCancelled = 2 * kMaxOutstanding;
    static constexpr int32_t kRequestBatchBytes = 815;  // a batch of requests is written past this
    static constexpr uint64_t kQuickRateMs = 250;       // sample period of the pipeline's rate
    // Above this rate (bytes per second) the connection keeps its buffers between turns.
    static constexpr int32_t kKeepBufferRate = 262143;

    // What the task reads of the exchange (Stats argument 1). The nothing-to-pick state lives in
    // the PeerWork record (nothing_to_pick, nothing_to_pick_since).
    struct Exchange {
        bool interested = false;  // we told the remote we are interested
        bool am_choking = true;
        bool peer_choking = true;
        int32_t haves_received = 0;
        int32_t remote_pieces_at_bitfield = 0;
        int32_t remote_pieces = 0;
        int32_t last_have_index = -1;
        int64_t choked_since = 0;  // task seconds; 0 while not choked
        int64_t seed_since = 0;    // task seconds; 0 until the remote has every piece
    };

    explicit TBTPeer(const TaskFaces& task);
    ~TBTPeer() override;

    bool Receive() override;
    bool Flush() override;
    bool PlanRequests() override;
    bool ServeUploads() override;
    void Reset() override;
    bool TopUpRequests() override;
    // Outgoing: resets, attaches and starts a non-blocking connect (the handshake goes out once
    // it completes).
    bool Attach(const RefPtr<TPeerId>& source) override;
    // Outgoing: sends the handshake (Receive does so once the connect completes). Incoming: our
    // handshake waits for the remote's.
    bool StartSession() override;
    // The buffered handshake is acceptable (state 1, 68 bytes): protocol, the task's info-hash,
    // not our own peer id, a BT task; an incoming connection gets its record here.
    bool CheckHandshake() override;
    bool IsIdle() override;
    int32_t RemoteRate() override;
    bool IsUseless() override;
    bool IsSeedTooLong() override;
    // The task's per-second call: cancels the requests whose blocks the task holds, and shares
    // requests near the reader's piece that waited over 8 seconds with the other peers.
    void DropDoneRequests() override;
    // The piece failed its check: the requests for it go (those in flight are cancelled), so that
    // the task can hand it to one peer alone.
    void ForgetPiece(PieceIndex piece);
    // In end game another peer delivered this block: the request for it goes (cancelled when in
    // flight).
    void DropRequest(const BlockRequest& request);
    // The remote is banned: its requests go back to the task (those in flight cancelled) and no
    // more are planned; the task drops the connection at its next once-per-second step.
    void StopFetching();
    // True once NoteSeed has seen every piece on the remote (and no notice took one back since).
    bool IsSeed() const override { return exchange_.seed_since > 0; }
    // Called when the remote's piece count reaches the task's (bitfield, have) and by the task's
    // drop test: the remote's bits are checked and the first moment they are all set is kept.
    void NoteSeed() override;
    std::optional<PieceIndex> NextPiece() override;

    // Sends the task's handshake once, after the fake HTTP response on a wrapped incoming
    // connection or the HTTP-shaped request on an outgoing one when the task asks for it.
    bool SendHandshake();
    // Adopts a connection the engine accepted. `wrapped`: its HTTP-shaped request was already
    // taken off (the task's handshake test strips it). Our handshake goes out once the remote's
    // has been accepted.
    bool AcceptConnection(std::unique_ptr<QSocket> connection, bool wrapped);

    // The task's calls. Choke drops the remote's pending requests.
    void Choke();
    void Unchoke();
    // Sends prepared messages (the task's "have" batches) on an established connection.
    bool SendRaw(std::span<const uint8_t> bytes);

    const Exchange& GetExchange() const { return exchange_; }
    const BtWire::Handshake& GetHandshake() const { return handshake_; }
    bool Wrapped() const { return wrapped_; }
    const std::deque<BlockRequest>& PeerRequests() const { return peer_requests_; }

    // Transport choice of an outgoing connection: the UDP transport only while the task reports
    // it usable and the source's weight is at most 34; with the prefer-UDP switch on every third
    // attempt, otherwise even attempts from 2 on for peers that announce it in their peer id
    // ("UDP" at bytes 16..18) or when the task has at most 32 candidates.
    static bool ChooseUdpTransport(const TPeerId& source, bool usable, bool prefer_udp,
                                   int32_t candidate_count);
    // The UDP transport's node id of a peer: peer id bytes 8..15, or 12..19 for an id made from
    // the address alone.
    static QSocket::NodeId UdpNodeId(const TPeerId& source);

  private:
    bool ReceiveHandshake(QSocket& conn);
    bool AcceptHandshake(QSocket& conn);
    // Parses and handles the buffered messages; false drops the connection.
    bool HandleMessages(QSocket& conn, int32_t arrived);
    bool HandleMessage(const BtWire::Message& message);
    void HandleHave(uint32_t index);
    bool HandleBitfield(std::span<const uint8_t> bits);
    void HandleRequest(const BtWire::Message& message);
    void HandleCancel(const BtWire::Message& message);
    bool HandlePiece(const BtWire::Message& message);
    void HandlePartialPiece(const BtWire::Message& message, QSocket& conn);
    void HandleBlockUnavailable(int64_t piece);
    void OnChoked();
    void OnUnchoked();

    // Sends the queued requests not yet in flight until `limit` are in flight, dropping entries
    // that are done or invalid on the way.
    bool SendRequests(int32_t limit);
    // Sends a cancel for every request in flight.
    void CancelOutstanding();
    // Adds a cancel for `request` to send_batch_ and remembers it.
    void AddCancel(const BlockRequest& request);
    // A block of a request cancelled earlier: forgotten from the list (true), else false.
    bool TakeCancelled(const BlockRequest& request);
    // Drops the queued requests `which` answers true for, cancelling those in flight.
    void DropRequestsIf(const std::function<bool(const BlockRequest&)>& which);
    int32_t RequestLimit() const;
    // The rate that sizes reads and the request pipeline: the task's 4-second figure, or the last
    // quarter second's when higher. A fast peer is otherwise held to a couple of queued requests
    // until the first window closes; a slow one measures slow in both.
    int32_t PipelineRate() const { return std::max(GetRates().download_rate, quick_rate_); }
    void SampleQuickRate();
    // Index, begin of a content-wide block; false for one outside the content.
    bool Locate(int32_t block, uint32_t& index, uint32_t& begin);
    int64_t SecondsConnected();

    BtWire::Handshake handshake_{};
    Exchange exchange_;
    uint64_t received_mark_ = 0;
    int32_t send_skip_ = 0;
    bool wrapped_ = false;  // the connection began with an HTTP-shaped header
    bool handshake_sent_ = false;
    bool wrapper_unanswered_ = false;     // ours went out wrapped; no handshake came back yet
    bool choke_seen_ = false;             // a choke arrived in the current Receive
    bool fetching_stopped_ = false;       // StopFetching was called
    int64_t connect_started_ = 0;         // task seconds
    int64_t established_at_ = 0;          // task seconds the connection completed (0 before)
    uint64_t quick_since_ms_ = 0;         // start of the current rate sample (0: none yet)
    uint64_t quick_since_bytes_ = 0;      // ReceivedTotal at its start
    int32_t quick_rate_ = 0;              // bytes per second over the last complete sample
    std::vector<uint8_t> send_batch_;     // requests and cancels gathered for one write
    std::deque<BlockRequest> cancelled_;  // newest last, at most kMaxCancelled
    std::vector<uint8_t> upload_;         // one piece message: header and up to 16 KiB of block
    // Bytes one ServeUploads may queue before the measured rate says more: doubles while the
    // socket takes everything, halves when bytes are left waiting.
    int32_t upload_burst_ = kBlockSize;
};

}  // namespace kf
