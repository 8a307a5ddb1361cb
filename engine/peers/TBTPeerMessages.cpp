// TBTPeer: reading the connection and handling the remote's messages (choke, have, bitfield,
// request, cancel, piece, block-unavailable notices).

#include <algorithm>
#include <bit>

#include "engine/base/EngineClock.h"
#include "engine/peers/TBTPeer.h"

namespace kf {
namespace {

constexpr int32_t kHandshakeReadSize = 2048;
constexpr int32_t kSmallestRead = 192;
constexpr int32_t kGreedyDoublings = 12;
constexpr int32_t kKeepBufferArrival = 16383;
constexpr uint32_t kPartialRefreshBytes = 1024;

void SetBit(std::vector<uint8_t>& bits, int32_t index, bool on) {
    uint8_t& byte = bits[static_cast<size_t>(index / 8)];
    const auto mask = static_cast<uint8_t>(0x80 >> (index % 8));
    byte = on ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

}  // namespace

bool TBTPeer::Receive() {
    if (!IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const int64_t now = Swarm().CurrentTime();
    if (established_at_ == 0) {
        if (!conn.IsEstablished()) {
            const int32_t limit = conn.UsesUdpTransport() ? kUdpConnectTimeout : kConnectTimeout;
            if (!conn.IsOpen() || now - connect_started_ > limit) {
                SetStatus(kStatusTimedOut);
                CloseConnection();
                return false;
            }
            return true;
        }
        established_at_ = std::max<int64_t>(now, 1);
        if (!StartSession()) {
            return false;
        }
    }

    const int32_t budget = Content().DownloadAllowance();
    if (budget == 0 && State() != kConnecting) {
        return true;
    }
    int32_t want = kHandshakeReadSize;
    if (!exchange_.peer_choking && !work_.requests.empty() && State() == kEstablished) {
        const int32_t rate = PipelineRate();
        want = (rate <= 65535 ? 16384 : rate <= 262143 ? 32768 : 65536) + 1024;
    }
    if (budget > 0 && budget < want) {
        want = std::max(budget, kSmallestRead);
    }

    const int32_t before = conn.ReceivedLength();
    if (conn.ReceiveBytes(want) < 0) {
        return false;
    }
    int32_t arrived = conn.ReceivedLength() - before;
    // Greedy: a read that filled what it asked for leaves more behind; take it now.
    int32_t last = arrived;
    for (int32_t i = 0; i < kGreedyDoublings && last == want && State() == kEstablished &&
                        (budget < 0 || arrived < budget) && conn.ReceivedLength() < kMaxBuffered;
         ++i) {
        want = std::min(want * 2, kMaxBuffered - conn.ReceivedLength());
        if (budget > 0) {
            want = std::min(want, budget - arrived);
        }
        const int32_t held = conn.ReceivedLength();
        if (conn.ReceiveBytes(want) < 0) {
            return false;
        }
        last = conn.ReceivedLength() - held;
        arrived += last;
    }
    if (arrived == 0 && State() != kConnecting) {
        return true;
    }

    if (State() == kConnecting) {
        if (!ReceiveHandshake(conn)) {
            return false;
        }
        if (State() != kEstablished) {
            return true;
        }
    }
    const bool was_choking = exchange_.peer_choking;
    choke_seen_ = false;
    if (!HandleMessages(conn, arrived)) {
        return false;
    }
    // A choke discards our requests even when an unchoke follows it in the same read.
    if (choke_seen_) {
        OnChoked();
    }
    if (!exchange_.peer_choking && (was_choking || choke_seen_)) {
        OnUnchoked();
    }
    return IsConnected();
}

bool TBTPeer::HandleMessages(QSocket& conn, int32_t arrived) {
    const std::span<const uint8_t> buffered = conn.Received();
    size_t used = 0;
    bool more = true;
    while (more && buffered.size() - used >= 4) {
        BtWire::Message message;
        switch (BtWire::ParseMessage(buffered.subspan(used), message)) {
            case BtWire::Parse::kMessage:
                if (!HandleMessage(message)) {
                    AddError();
                    CloseConnection();
                    return false;
                }
                used += message.size;
                break;
            case BtWire::Parse::kPartialPiece:
                HandlePartialPiece(message, conn);
                more = false;
                break;
            case BtWire::Parse::kNeedMore:
                more = false;
                break;
            case BtWire::Parse::kDiscard:
                AddError();
                used = buffered.size();
                more = false;
                break;
            case BtWire::Parse::kDiscardQuiet:
                used = buffered.size();
                more = false;
                break;
            case BtWire::Parse::kFatal:
                AddError();
                CloseConnection();
                return false;
        }
    }
    const bool keep = GetRates().download_rate > kKeepBufferRate || arrived > kKeepBufferArrival;
    conn.Consume(static_cast<int32_t>(used), keep);
    return true;
}

bool TBTPeer::HandleMessage(const BtWire::Message& message) {
    switch (message.id) {
        case BtWire::kChoke:
        case BtWire::kUnchoke: {
            exchange_.peer_choking = message.id == BtWire::kChoke;
            choke_seen_ = choke_seen_ || exchange_.peer_choking;
            SetStatus(exchange_.peer_choking || exchange_.am_choking ? kStatusChoked
                                                                     : kStatusUnchoked);
            if (!exchange_.peer_choking) {
                exchange_.choked_since = 0;
            } else if (exchange_.choked_since == 0) {
                exchange_.choked_since = Swarm().CurrentTime();
            }
            return true;
        }
        case BtWire::kHave:
            HandleHave(message.index);
            return true;
        case BtWire::kBitfield:
            return HandleBitfield(message.payload);
        case BtWire::kRequest:
            HandleRequest(message);
            return true;
        case BtWire::kCancel:
            HandleCancel(message);
            return true;
        case BtWire::kPiece:
            return HandlePiece(message);
        default:
            return true;  // keep-alive, (not) interested and ids we do not speak
    }
}

void TBTPeer::HandleHave(uint32_t index) {
    if (index > INT32_MAX || index / 8 >= work_.has.size()) {
        return;  // a piece the content does not have (or no bitfield room yet)
    }
    const auto piece = static_cast<int32_t>(index);
    if (!work_.Has(piece)) {
        SetBit(work_.has, piece, true);
        ++exchange_.haves_received;
        ++exchange_.remote_pieces;
        if (Content().ContentSizeKnown() && exchange_.remote_pieces >= Content().PieceCount()) {
            NoteSeed();
        }
    }
    if (work_.nothing_to_pick && !Content().IsPieceVerified(PieceIndex(piece))) {
        work_.nothing_to_pick = false;
    }
    exchange_.last_have_index = piece;
    work_.last_announced = piece;
}

bool TBTPeer::HandleBitfield(std::span<const uint8_t> bits) {
    const int32_t piece_count = Content().ContentSizeKnown() ? Content().PieceCount() : 0;
    if (piece_count > 0 && bits.size() != (static_cast<size_t>(piece_count) + 7) / 8) {
        return false;
    }
    work_.has.assign(bits.begin(), bits.end());
    int32_t count = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
        uint8_t byte = bits[i];
        if (piece_count > 0 && i == bits.size() - 1 && piece_count % 8 != 0) {
            byte = static_cast<uint8_t>(byte & (0xFF00 >> (piece_count % 8)));  // spare bits
        }
        count += std::popcount(byte);
    }
    exchange_.remote_pieces = count;
    exchange_.remote_pieces_at_bitfield = count;
    const bool nothing = count == 0;
    if (nothing && !work_.nothing_to_pick) {
        work_.nothing_to_pick_since = Swarm().CurrentTime();
        work_.nothing_to_pick_tried = Swarm().CurrentTime();
    }
    work_.nothing_to_pick = nothing;
    if (!GetActivity().incoming && Source() != nullptr) {
        Swarm().NoteSourcePieces(*Source(), count);
    }
    if (piece_count > 0 && count >= piece_count) {
        NoteSeed();
    }
    return true;
}

void TBTPeer::HandleRequest(const BtWire::Message& message) {
    const int32_t piece_length = Content().PieceLength();
    if (exchange_.am_choking || !Content().ContentSizeKnown() || piece_length <= 0 ||
        peer_requests_.size() >= kMaxPeerRequests) {
        return;
    }
    const auto piece = static_cast<int32_t>(message.index);
    const int64_t piece_start = static_cast<int64_t>(piece) * piece_length;
    const int64_t piece_size =
        std::min<int64_t>(piece_length, Content().ContentSize() - piece_start);
    // Only what the block numbering can express and a 16 KiB read can answer: a request that
    // starts off a block boundary, is longer than a block or runs past its piece is ignored.
    if (piece >= Content().PieceCount() || message.begin % kBlockSize != 0 ||
        message.length > static_cast<uint32_t>(kBlockSize) ||
        static_cast<int64_t>(message.begin) + message.length > piece_size ||
        !Content().IsPieceVerified(PieceIndex(piece))) {
        return;
    }
    const BlockRequest request{static_cast<int32_t>((piece_start + message.begin) / kBlockSize),
                               static_cast<int32_t>(message.length), SecondsSinceStart()};
    if (std::find(peer_requests_.begin(), peer_requests_.end(), request) == peer_requests_.end()) {
        peer_requests_.push_back(request);
    }
}

void TBTPeer::HandleCancel(const BtWire::Message& message) {
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0) {
        return;
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    if (offset / kBlockSize > INT32_MAX || message.begin % kBlockSize != 0) {
        return;
    }
    const BlockRequest request{static_cast<int32_t>(offset / kBlockSize),
                               static_cast<int32_t>(message.length), 0};
    const auto found = std::find(peer_requests_.begin(), peer_requests_.end(), request);
    if (found != peer_requests_.end()) {
        peer_requests_.erase(found);
    }
}

bool TBTPeer::HandlePiece(const BtWire::Message& message) {
    MutableActivity().in_piece = false;
    const int64_t unavailable = BtWire::BlockUnavailablePiece(message);
    if (unavailable >= 0) {
        HandleBlockUnavailable(unavailable);
        return true;
    }
    const int32_t piece_length = Content().PieceLength();
    if (!Content().ContentSizeKnown() || piece_length <= 0) {
        return true;  // nothing could have been asked for yet: dropped as the base does
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    if (message.begin % kBlockSize != 0 || offset / kBlockSize > INT32_MAX) {
        return false;  // never a block we asked for
    }
    const BlockRequest arrived{static_cast<int32_t>(offset / kBlockSize),
                               static_cast<int32_t>(message.payload.size()), 0};
    // Sent before our cancel reached the remote: expected traffic, and nothing to write.
    if (!work_.requests.IsInFlight(arrived) && TakeCancelled(arrived)) {
        return true;
    }
    return DeliverBlock(arrived.block, message.payload);
}

void TBTPeer::HandlePartialPiece(const BtWire::Message& message, QSocket& conn) {
    MutableActivity().in_piece = true;
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0 || conn.ReceivedTotal() - received_mark_ <= kPartialRefreshBytes) {
        return;
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    const BlockRequest arriving{
        static_cast<int32_t>(std::min<int64_t>(offset / kBlockSize, INT32_MAX)),
        static_cast<int32_t>(message.length), 0};
    for (size_t i = 0; i < static_cast<size_t>(work_.requests.InFlight()); ++i) {
        if (work_.requests[i] == arriving) {
            // A block that is still coming in is not late: keep it out of the shared list.
            received_mark_ = conn.ReceivedTotal();
            work_.requests.Restamp(i, SecondsSinceStart());
            break;
        }
    }
}

void TBTPeer::HandleBlockUnavailable(int64_t piece) {
    const int32_t piece_length = Content().PieceLength();
    if (piece > INT32_MAX || piece_length <= 0) {
        return;
    }
    const auto index = static_cast<int32_t>(piece);
    if (work_.Has(index)) {
        SetBit(work_.has, index, false);
        exchange_.remote_pieces = std::max(exchange_.remote_pieces - 1, 0);
        exchange_.seed_since = 0;
    }
    std::deque<BlockRequest> back = work_.requests.TakePiece(PieceIndex(index), piece_length);
    if (!back.empty()) {
        Content().ReturnBlocks(std::move(back));
    }
}

void TBTPeer::OnChoked() {
    // A peer without the fast extension forgets our requests; other peers may take them.
    if (!work_.requests.empty()) {
        CancelOutstanding();
        Content().ReturnBlocks(work_.requests.TakeAll());
    }
}

void TBTPeer::OnUnchoked() {
    MutableActivity().in_piece = false;
    work_.requests.ForgetInFlight();
    SendRequests(RequestLimit());
}

}  // namespace kf
