#include "engine/udp/TunnelSession.h"

#include <algorithm>
#include <cstring>

namespace kf {

namespace {

constexpr uint64_t kCounterPeriodMs = 120000;
constexpr uint64_t kTrustedSampleSize = 23;
constexpr int kUnknownLoss = 50;

// Wrap-aware "a comes before b".
bool Before(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

}  // namespace

void TunnelSession::Reset() {
    // Every field back to its initial value, except the wake handle, which is costly to make.
    std::unique_ptr<WakeSignal> kept = std::move(wake);
    if (signalled) {
        kept->Drain();
    }
    *this = TunnelSession();
    wake = std::move(kept);
}

void TunnelSession::FreeBuffers() {
    slots_.clear();
    for (auto& slot : ahead_) {
        slot.reset();
    }
}

size_t TunnelSession::UsedSlots(bool past_receive_window) const {
    if (past_receive_window) {
        return slots_.size();
    }
    // Every released packet lies below the peer's expected sequence or was held by it, so the
    // window starts at the lower of the two.
    const uint32_t base = Before(peer_expected_, FirstUnacked()) ? peer_expected_ : FirstUnacked();
    return next_send_ - base;
}

int TunnelSession::LossPercent(uint64_t now_ms) {
    if (now_ms - counters_reset_ms_ > kCounterPeriodMs) {
        sent_ = 0;
        retransmitted_ = 0;
        counters_reset_ms_ = now_ms;
    }
    if (sent_ <= kTrustedSampleSize) {
        return kUnknownLoss;
    }
    return static_cast<int>(std::min<uint64_t>(100, retransmitted_ * 100 / sent_));
}

size_t TunnelSession::Budget(int loss_percent) {
    const int loss = std::clamp(loss_percent, 0, 100);
    return std::min<size_t>(kWindow, static_cast<size_t>((1260 - 12 * loss) / 100));
}

size_t TunnelSession::ChunkSize(int loss_percent) {
    return loss_percent > kSmallChunkLoss ? kSmallChunk : kChunk;
}

TunnelSession::Slot& TunnelSession::Append(std::vector<uint8_t> packet, uint32_t payload_length) {
    Slot slot;
    slot.packet = std::move(packet);
    slot.sequence = next_send_++;
    slot.length = payload_length;
    slots_.push_back(std::move(slot));
    return slots_.back();
}

void TunnelSession::CountSent(bool retransmission) {
    ++sent_;
    if (retransmission) {
        ++retransmitted_;
    }
}

void TunnelSession::Release(std::deque<Slot>::iterator slot) {
    bytes_acknowledged += slot->length;
    slots_.erase(slot);
}

uint64_t TunnelSession::ApplyWindowAck(const TunnelPacket::WindowAck& ack) {
    if (Before(peer_first_unacked_, ack.first_unacked)) {
        peer_first_unacked_ = ack.first_unacked;
    }
    // The peer cannot expect what was never sent, nor go back.
    if (Before(next_send_, ack.next_expected) || Before(ack.next_expected, peer_expected_)) {
        return 0;
    }
    peer_expected_ = ack.next_expected;
    const uint64_t before = bytes_acknowledged;
    for (auto slot = slots_.begin(); slot != slots_.end();) {
        const uint32_t ahead = slot->sequence - ack.next_expected;
        const bool below = Before(slot->sequence, ack.next_expected);
        const bool held = !below && ahead < kWindow && ack.held[ahead] == 1;
        if (slot->transmissions > 0 && (below || held)) {
            bytes_acknowledged += slot->length;
            slot = slots_.erase(slot);
        } else {
            ++slot;
        }
    }
    return bytes_acknowledged - before;
}

uint64_t TunnelSession::ApplySingleAck(const TunnelPacket::SingleAck& ack) {
    const auto slot = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) {
        return s.sequence == ack.sequence && s.length == ack.length && s.transmissions > 0;
    });
    if (slot == slots_.end()) {
        return 0;
    }
    const uint64_t length = slot->length;
    Release(slot);
    return length;
}

TunnelSession::Stored TunnelSession::StoreData(uint32_t sequence,
                                               std::span<const uint8_t> payload) {
    uint32_t ahead = sequence - next_expected_;
    if (ahead >= kWindow) {
        MoveInOrder();
        ahead = sequence - next_expected_;
    }
    if (ahead >= kWindow) {
        return Before(sequence, next_expected_) ? Stored::kDuplicate : Stored::kTooFar;
    }
    if (ahead_[ahead]) {
        return Stored::kDuplicate;
    }
    ahead_[ahead].emplace(payload.begin(), payload.end());
    bytes_received += payload.size();
    return Stored::kStored;
}

void TunnelSession::MoveInOrder() {
    while (ahead_[0] && delivery_.size() < kQueueLimit) {
        if (!ahead_[0]->empty()) {
            delivery_.push_back(std::move(*ahead_[0]));
        }
        std::move(ahead_.begin() + 1, ahead_.end(), ahead_.begin());
        ahead_.back().reset();
        ++next_expected_;
    }
}

size_t TunnelSession::Read(std::span<uint8_t> out) {
    size_t copied = 0;
    while (copied < out.size()) {
        if (delivery_.empty()) {
            MoveInOrder();
            if (delivery_.empty()) {
                break;
            }
        }
        const std::vector<uint8_t>& front = delivery_.front();
        const size_t take = std::min(out.size() - copied, front.size() - read_offset_);
        std::memcpy(out.data() + copied, front.data() + read_offset_, take);
        copied += take;
        read_offset_ += take;
        if (read_offset_ == front.size()) {
            delivery_.pop_front();
            read_offset_ = 0;
        }
    }
    MoveInOrder();
    return copied;
}

bool TunnelSession::HasReadable() const {
    return !delivery_.empty() || (ahead_[0] && !ahead_[0]->empty());
}

size_t TunnelSession::HeldCount() const {
    return static_cast<size_t>(std::count_if(ahead_.begin(), ahead_.end(),
                                             [](const auto& slot) { return slot.has_value(); }));
}

TunnelPacket::WindowAck TunnelSession::BuildWindowAck() const {
    TunnelPacket::WindowAck ack;
    ack.first_unacked = FirstUnacked();
    ack.next_expected = next_expected_;
    for (size_t i = 0; i < kWindow; ++i) {
        ack.held[i] = ahead_[i] ? 1 : 0;
    }
    return ack;
}

}  // namespace kf
