// TBTPeer: serving the remote's requests from the task's verified pieces, pacing the send queue,
// and the task's choke, unchoke and raw messages.

#include <algorithm>

#include "engine/peers/TBTPeer.h"

namespace kf {
namespace {

constexpr int32_t kSlowUploadRate = 28672;
constexpr int32_t kLargeQueue = 1024;
constexpr int32_t kWritablePollQueue = 256;
constexpr int32_t kMaxUploadBurst = 1048576;

}  // namespace

bool TBTPeer::ServeUploads() {
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0 || State() != kEstablished || !IsConnected() || exchange_.am_choking ||
        GetActivity().pending_send || peer_requests_.empty() || Connection()->QueuedLength() > 0 ||
        !Content().ContentSizeKnown()) {
        return true;
    }
    const int32_t budget = Content().UploadAllowance();
    if (budget <= 0) {
        return true;
    }
    QSocket& conn = *Connection();
    const int32_t scale = GetRates().upload_rate / 65536;
    int64_t amount = scale > 1 ? static_cast<int64_t>(scale) * kBlockSize - kBlockSize : kBlockSize;
    if (Content().IsComplete()) {
        amount += kBlockSize;
    }
    // The rate is measured every few seconds; a link that took all of the last turn's bytes
    // need not wait for it to grow.
    amount = std::min<int64_t>(std::max<int64_t>(amount, upload_burst_), budget);
    if (upload_.size() < 13 + static_cast<size_t>(kBlockSize)) {
        upload_.resize(13 + kBlockSize);
    }
    int64_t sum = 0;
    while (!peer_requests_.empty()) {
        const BlockRequest request = peer_requests_.front();
        if (request.length > piece_length || request.length > kBlockSize) {
            peer_requests_.pop_front();
            continue;
        }
        if (sum + request.length > amount && Content().PeersWithUnsentData() > 0) {
            break;
        }
        uint32_t index = 0;
        uint32_t begin = 0;
        const auto block =
            std::span<uint8_t>(upload_).subspan(13, static_cast<size_t>(request.length));
        if (!Locate(request.block, index, begin) ||
            !Content().ReadBlock(PieceIndex(index), static_cast<int32_t>(begin), block)) {
            // Tell the remote it cannot have this piece from us, and forget what it asked of it.
            const int64_t piece = static_cast<int64_t>(request.block) * kBlockSize / piece_length;
            if (conn.SendBytes(BtWire::BlockUnavailable(static_cast<uint32_t>(piece))) < 0) {
                return false;
            }
            std::erase_if(peer_requests_, [&](const BlockRequest& r) {
                return static_cast<int64_t>(r.block) * kBlockSize / piece_length == piece;
            });
            continue;
        }
        const auto header =
            BtWire::PieceHeader(index, begin, static_cast<uint32_t>(request.length));
        std::copy(header.begin(), header.end(), upload_.begin());
        if (conn.SendBytes(std::span<const uint8_t>(upload_).first(13 + block.size())) < 0) {
            return false;
        }
        peer_requests_.pop_front();
        Content().CountUploaded(request.length);
        sum += request.length;
        if (sum >= amount) {
            break;
        }
    }
    if (conn.QueuedLength() > 0) {
        upload_burst_ = std::max(upload_burst_ / 2, kBlockSize);
        Content().NotePendingSend();
    } else if (sum >= amount) {
        upload_burst_ = std::min(upload_burst_ * 2, kMaxUploadBurst);
    }
    return true;
}

bool TBTPeer::Flush() {
    if (!IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const int32_t upload_rate = GetRates().upload_rate;
    // A link that took whole bursts lately is not slow, whatever the lagging rate says.
    const bool slow = upload_rate < kSlowUploadRate && upload_burst_ <= kBlockSize;
    if (slow && conn.QueuedLength() > kLargeQueue && (++send_skip_ % 2) != 0) {
        return true;  // slow uploads go out on every second turn
    }
    if (established_at_ == 0 || conn.QueuedLength() == 0) {
        return true;
    }
    const int32_t budget = Content().UploadAllowance() / 2;
    if (budget <= 0) {
        return true;
    }
    if (!conn.UsesUdpTransport() && conn.QueuedLength() > kWritablePollQueue &&
        !conn.WaitWritable(0)) {
        return true;
    }
    // Slow links get small paced writes; a fast one gets all the socket takes.
    int32_t chunk = 16384 + 1024;
    if (!slow) {
        chunk = conn.QueuedLength();
    } else if (Content().PeerSlotTarget() < 12) {
        chunk = 8192 + 1024;
    }
    if (chunk >= budget) {
        chunk = std::max(budget - 512, 1);
    }
    conn.SetKeepBuffers(upload_rate > kKeepBufferRate || !slow);
    return conn.FlushQueue(chunk) >= 0;
}

void TBTPeer::Choke() {
    exchange_.am_choking = true;
    SetStatus(kStatusChoked);
    peer_requests_.clear();
    if (IsEstablished()) {
        Connection()->SendBytes(BtWire::Simple(BtWire::kChoke));
    }
}

void TBTPeer::Unchoke() {
    exchange_.am_choking = false;
    SetStatus(exchange_.peer_choking ? kStatusChoked : kStatusUnchoked);
    if (IsEstablished()) {
        Connection()->SendBytes(BtWire::Simple(BtWire::kUnchoke));
    }
}

bool TBTPeer::SendRaw(std::span<const uint8_t> bytes) {
    return IsEstablished() && Connection()->SendBytes(bytes) >= 0;
}

}  // namespace kf
