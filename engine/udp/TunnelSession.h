#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/net/WakeSignal.h"
#include "engine/udp/TunnelPacket.h"

namespace kf {

// One tunnelled session: the connection record (state, peer, handles, nonce, control sequences,
// timers) kept by TunnelSessions, and the stream itself: the send window of up to 12 built
// packets, the 12-slot receive window for packets ahead of order and the delivery queue of up to
// 12 payloads waiting for the reader.
//
// Owner and threads: TunnelSessions, which recycles the objects; used under the endpoint lock
// only. Sequence numbers are 32-bit and compared modulo 2^32.
//
// Limits: at most kWindow packets in flight, kWindow held ahead of order, kQueueLimit payloads
// delivered but not read; a packet is given up after kMaxTransmissions sends.
class TunnelSession {
  public:
    enum class State : uint8_t {
        kNew = 0,
        kConnecting = 1,
        kPunched = 2,
        kAccepting = 3,
        kEstablished = 5,
        kDead = 6,
        kBound = 7,
        kListening = 8,
    };
    // Which endpoint list holds the session.
    enum class Role : uint8_t { kOpen, kBound, kPending };
    enum class Stored { kStored, kDuplicate, kTooFar };

    struct Slot {
        std::vector<uint8_t> packet;
        uint32_t sequence = 0;
        uint32_t length = 0;
        uint64_t sent_ms = 0;  // 0: not sent yet
        uint32_t transmissions = 0;
    };

    static constexpr size_t kWindow = TunnelPacket::kWindow;
    static constexpr size_t kQueueLimit = 12;
    static constexpr size_t kChunk = 1320;
    static constexpr size_t kSmallChunk = 660;
    static constexpr uint32_t kMaxTransmissions = 128;
    static constexpr int kSmallChunkLoss = 30;  // percent above which chunks are halved
    static constexpr int kWindowUpdates = 3;

    TunnelSession() = default;
    TunnelSession(const TunnelSession&) = delete;
    TunnelSession& operator=(const TunnelSession&) = delete;
    TunnelSession& operator=(TunnelSession&&) = default;

    // Back to a new socket for reuse; the wake handle stays (drained).
    void Reset();
    // Drops the packets and the data not yet delivered; data delivered stays readable.
    void FreeBuffers();

    // --- send side
    // Sequences taken from the window: up to the receiver's window (never past its expected + 12),
    // or, as the original rule did, only the slots still held.
    size_t UsedSlots(bool past_receive_window) const;
    bool HasRoom(bool past_receive_window) const {
        return UsedSlots(past_receive_window) < kWindow;
    }
    // The retransmitted percentage of sent packets, 0..100 (50 until more than 23 were sent;
    // the counters restart every 120 s).
    int LossPercent(uint64_t now_ms);
    // Packets sent at once per call, or per retransmission pass before halving: never negative.
    static size_t Budget(int loss_percent);
    static size_t ChunkSize(int loss_percent);
    uint32_t NextSendSequence() const { return next_send_; }
    // A built DATA packet for NextSendSequence().
    Slot& Append(std::vector<uint8_t> packet, uint32_t payload_length);
    std::deque<Slot>& Slots() { return slots_; }
    bool HasSendWork() const { return !slots_.empty(); }
    void CountSent(bool retransmission);
    // Releases, among the packets sent, those below the peer's next expected sequence and those
    // it holds; an acknowledgement naming a sequence never sent is ignored. Bytes released.
    uint64_t ApplyWindowAck(const TunnelPacket::WindowAck& ack);
    uint64_t ApplySingleAck(const TunnelPacket::SingleAck& ack);
    uint32_t FirstUnacked() const { return slots_.empty() ? next_send_ : slots_.front().sequence; }

    // --- receive side
    Stored StoreData(uint32_t sequence, std::span<const uint8_t> payload);
    // In-order packets from the receive window to the delivery queue while it has room.
    void MoveInOrder();
    // Bytes copied into `out` (0 when nothing is ready).
    size_t Read(std::span<uint8_t> out);
    bool HasReadable() const;
    size_t HeldCount() const;
    TunnelPacket::WindowAck BuildWindowAck() const;
    uint32_t NextExpected() const { return next_expected_; }
    uint32_t PeerFirstUnacked() const { return peer_first_unacked_; }
    uint32_t PeerExpected() const { return peer_expected_; }

    // --- connection record (TunnelSessions keeps it)
    State state = State::kNew;
    Role role = Role::kOpen;
    int32_t handle = 0;
    uint32_t peer_handle = 0;
    UdpWire::Identity peer_identity{};
    uint32_t peer_ip = 0;  // network order
    int32_t peer_port = 0;
    uint32_t service_port = 0;
    uint32_t addressed_port = 0;  // the SYN's port field
    uint32_t nonce = 0;           // the connector's, on both sides
    bool accepted = false;
    bool connected = false;
    bool answered = false;  // the server answered an address-form connect
    uint64_t last_activity_ms = 0;
    uint64_t last_sent_ms = 0;
    uint64_t last_request_ms = 0;
    uint64_t last_syn_ms = 0;  // the connector's last SYN (accepting side)
    uint32_t request_sequence = 0;
    uint32_t control_received = 0;
    uint32_t control_sent = 0;
    int32_t error = 0;  // why it died
    bool ack_due = false;
    // Window ACKs still to repeat after the reader made room: the sender may hold no packet to
    // retransmit, so a lost update would leave it waiting for good.
    int window_updates = 0;
    uint64_t last_ack_ms = 0;
    uint32_t acked_expected = 0;  // the next-expected sequence of the last window ACK
    uint64_t bytes_received = 0;
    uint64_t bytes_acknowledged = 0;
    bool watch_writable = false;
    bool signalled = false;
    // Made when the socket gets an owner (a handshake from a stranger costs no descriptor).
    std::unique_ptr<WakeSignal> wake;

  private:
    void Release(std::deque<Slot>::iterator slot);

    std::deque<Slot> slots_;
    uint32_t next_send_ = 0;
    uint32_t peer_expected_ = 0;  // the highest next-expected sequence the peer reported
    uint32_t peer_first_unacked_ = 0;
    uint64_t sent_ = 0;
    uint64_t retransmitted_ = 0;
    uint64_t counters_reset_ms_ = 0;

    std::array<std::optional<std::vector<uint8_t>>, kWindow> ahead_;
    uint32_t next_expected_ = 0;
    std::deque<std::vector<uint8_t>> delivery_;
    size_t read_offset_ = 0;
};

}  // namespace kf
