#include "support/FakePeerTask.h"

#include <algorithm>

#include "engine/peers/TPeerObject.h"

namespace kf::test {

FakePeerTask::FakePeerTask(int64_t content_size, int32_t piece_length)
    : content_size_(content_size),
      piece_length_(piece_length),
      piece_count_(static_cast<int32_t>((content_size + piece_length - 1) / piece_length)),
      data_(static_cast<size_t>(content_size), '\0'),
      done_(static_cast<size_t>((content_size + kBlockSize - 1) / kBlockSize), false) {}

int32_t FakePeerTask::FirstBlock(int32_t piece) const {
    return static_cast<int32_t>(static_cast<int64_t>(piece) * piece_length_ / kBlockSize);
}

int32_t FakePeerTask::BlocksInPiece(int32_t piece) const {
    const int64_t start = static_cast<int64_t>(piece) * piece_length_;
    const int64_t end = std::min<int64_t>(start + piece_length_, content_size_);
    return static_cast<int32_t>((end - start + kBlockSize - 1) / kBlockSize);
}

void FakePeerTask::MarkPieceDone(int32_t piece) {
    for (int32_t i = 0; i < BlocksInPiece(piece); ++i) {
        done_[static_cast<size_t>(FirstBlock(piece) + i)] = true;
    }
}

std::string FakePeerTask::Stored(int64_t offset, int64_t length) const {
    return data_.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
}

bool FakePeerTask::AllDone() const {
    return std::all_of(done_.begin(), done_.end(), [](bool done) { return done; });
}

int32_t FakePeerTask::BlocksDone() const {
    return static_cast<int32_t>(std::count(done_.begin(), done_.end(), true));
}

std::optional<PieceIndex> FakePeerTask::PreferredPiece() {
    return preferred_piece >= 0 ? std::optional<PieceIndex>(PieceIndex(preferred_piece))
                                : std::nullopt;
}

bool FakePeerTask::WantsPiece(int32_t piece) {
    return piece >= 0 && piece < piece_count_ && !IsPieceVerified(PieceIndex(piece));
}

bool FakePeerTask::IsPieceVerified(PieceIndex piece) {
    return MissingRange(piece).second == 0;
}

std::pair<int32_t, int32_t> FakePeerTask::MissingRange(PieceIndex index) {
    if (index.value() < 0 || index.value() >= piece_count_) {
        return {0, 0};
    }
    const auto piece = static_cast<int32_t>(index.value());
    const int64_t piece_start = static_cast<int64_t>(piece) * piece_length_;
    const int64_t piece_size = std::min<int64_t>(piece_length_, content_size_ - piece_start);
    int32_t first = -1;
    int32_t last = -1;
    for (int32_t i = 0; i < BlocksInPiece(piece); ++i) {
        if (!done_[static_cast<size_t>(FirstBlock(piece) + i)]) {
            first = first < 0 ? i : first;
            last = i;
        }
    }
    if (first < 0) {
        return {0, 0};
    }
    const int64_t end = std::min<int64_t>(static_cast<int64_t>(last + 1) * kBlockSize, piece_size);
    return {first * kBlockSize, static_cast<int32_t>(end)};
}

bool FakePeerTask::IsBlockDone(ContentBlock block, int32_t) {
    return block.value() >= 0 && static_cast<size_t>(block.value()) < done_.size() &&
           done_[static_cast<size_t>(block.value())];
}

TaskContent::WriteResult FakePeerTask::WriteBlock(ContentBlock at, std::span<const uint8_t> bytes,
                                                  TPeerObject& from) {
    const auto block = static_cast<int32_t>(at.value());
    writes.push_back(Write{block, static_cast<int32_t>(bytes.size())});
    const int64_t offset = static_cast<int64_t>(block) * kBlockSize;
    if (block < 0 || offset + static_cast<int64_t>(bytes.size()) > content_size_) {
        return {};
    }
    std::copy(bytes.begin(), bytes.end(), data_.begin() + offset);
    done_[static_cast<size_t>(block)] = true;
    const auto piece = static_cast<int32_t>(offset / piece_length_);
    if (failing_pieces.count(piece) != 0 && IsPieceVerified(PieceIndex(piece))) {
        // The piece store drops a bad piece and tells the source.
        for (int32_t i = 0; i < BlocksInPiece(piece); ++i) {
            done_[static_cast<size_t>(FirstBlock(piece) + i)] = false;
        }
        failed_pieces.push_back(piece);
        from.OnBadPiece(PieceIndex(piece), failing_whole);
        return WriteResult{false, true};
    }
    return WriteResult{true, false};
}

bool FakePeerTask::TakeFromSharedBlocks(const BlockRequest& request) {
    const auto found = std::find(shared_blocks.begin(), shared_blocks.end(), request);
    if (found == shared_blocks.end()) {
        return false;
    }
    shared_blocks.erase(found);
    return true;
}

void FakePeerTask::ReturnBlocks(std::deque<BlockRequest> blocks) {
    shared_blocks.insert(shared_blocks.begin(), blocks.begin(), blocks.end());
}

std::optional<PieceIndex> FakePeerTask::NextServerPiece(PeerWork& peer) {
    for (int32_t piece = std::max(peer.last_piece + 1, 0); piece < piece_count_; ++piece) {
        if (WantsPiece(piece) && !peer.HasRequestFor(piece, piece_length_)) {
            peer.last_piece = piece;
            return PieceIndex(piece);
        }
    }
    return std::nullopt;
}

void FakePeerTask::ReleaseRange(PeerWork& peer) {
    ++release_range_calls;
    if (peer.range != nullptr) {
        peer.range->holder = nullptr;
    }
    peer.range = nullptr;
    peer.requests.Clear();
}

void FakePeerTask::FinishRange(PeerWork& peer) {
    ++finish_range_calls;
    if (peer.range != nullptr) {
        peer.range->done = true;
        peer.range->holder = nullptr;
    }
    peer.range = nullptr;
}

std::optional<PieceIndex> FakePeerTask::TakeRangeAtPreferred(PeerWork& peer) {
    ++take_preferred_calls;
    if (preferred_piece < 0 || preferred_piece >= piece_count_) {
        return std::nullopt;
    }
    range.start = preferred_piece;
    range.end = piece_count_ - 1;
    range.current = preferred_piece;
    range.holder = &peer;
    peer.range = &range;
    peer.last_piece = preferred_piece;
    return PieceIndex(preferred_piece);
}

void FakePeerTask::CountPayload(int32_t peer_kind, int32_t bytes) {
    if (peer_kind >= 0 && peer_kind < 16) {
        payload_by_kind[peer_kind] += bytes;
    }
}

void FakePeerTask::AddSource(TPeerId& record, bool, bool) {
    added_sources.push_back(record.Copy());
}

void FakePeerTask::RemoveSource(TPeerId& record) {
    removed_sources.push_back(record.url);
}

std::vector<uint8_t> FakePeerTask::BitfieldBytes() {
    std::vector<uint8_t> bits((static_cast<size_t>(piece_count_) + 7) / 8, 0);
    for (int32_t piece = 0; piece < piece_count_; ++piece) {
        if (IsPieceVerified(PieceIndex(piece))) {
            bits[static_cast<size_t>(piece / 8)] |= static_cast<uint8_t>(0x80 >> (piece % 8));
        }
    }
    return bits;
}

TaskContent::BtPlan FakePeerTask::PlanBtRequests(PeerWork& peer) {
    BtPlan plan;
    if (peer.has.empty() || AllDone() || peer.requests.size() >= bt_queue_limit) {
        plan.complete = AllDone();
        return plan;
    }
    plan.ran = true;
    for (auto it = shared_blocks.begin();
         it != shared_blocks.end() && peer.requests.size() < bt_queue_limit;) {
        const auto piece = static_cast<int32_t>(int64_t{it->block} * kBlockSize / piece_length_);
        if (peer.Has(piece) && !IsBlockDone(ContentBlock(it->block), it->length) &&
            !peer.requests.Contains(*it)) {
            peer.requests.Push(*it);
            ++plan.queued;
            it = shared_blocks.erase(it);
        } else {
            ++it;
        }
    }
    while (peer.requests.size() < bt_queue_limit) {
        const std::optional<PieceIndex> piece = NextBtPiece(peer);
        if (!piece) {
            break;
        }
        const int64_t start = piece->value() * piece_length_;
        const int64_t end = std::min<int64_t>(start + piece_length_, content_size_);
        for (int64_t offset = start; offset < end; offset += kBlockSize) {
            const BlockRequest request{
                static_cast<int32_t>(offset / kBlockSize),
                static_cast<int32_t>(std::min<int64_t>(kBlockSize, end - offset)), 0};
            if (!IsBlockDone(ContentBlock(request.block), request.length)) {
                peer.requests.Push(request);
                ++plan.queued;
            }
        }
    }
    return plan;
}

std::optional<PieceIndex> FakePeerTask::NextBtPiece(PeerWork& peer) {
    for (int32_t piece = 0; piece < piece_count_; ++piece) {
        if (peer.Has(piece) && !IsPieceVerified(PieceIndex(piece)) &&
            engaged_pieces.count(piece) == 0 && !peer.HasRequestFor(piece, piece_length_)) {
            engaged_pieces.insert(piece);
            return PieceIndex(piece);
        }
    }
    if (!peer.nothing_to_pick) {
        peer.nothing_to_pick_since = now;
    }
    peer.nothing_to_pick = true;
    peer.nothing_to_pick_tried = now;
    return std::nullopt;
}

bool FakePeerTask::InSharedBlocks(const BlockRequest& request) {
    return std::find(shared_blocks.begin(), shared_blocks.end(), request) != shared_blocks.end();
}

bool FakePeerTask::ReadBlock(PieceIndex piece, int32_t begin, std::span<uint8_t> out) {
    const int64_t offset = piece.value() * piece_length_ + begin;
    if (piece.value() < 0 || begin < 0 ||
        unreadable_pieces.count(static_cast<int32_t>(piece.value())) != 0 ||
        offset + static_cast<int64_t>(out.size()) > content_size_ || !IsPieceVerified(piece)) {
        return false;
    }
    std::copy_n(data_.begin() + offset, out.size(), out.begin());
    return true;
}

TPeerId* FakePeerTask::AddPeerAddress(uint32_t ip, int32_t port) {
    RefPtr<TPeerId> record = RefPtr<TPeerId>::Make();
    record->kind = PeerKind::BtNode;
    record->ip = ip;
    record->port = port;
    record->resolved = true;
    record->peer_id = TPeerId::CompactPeerId(ip, port);
    peer_records.push_back(record);
    return record.get();
}

bool FakePeerTask::HasPeerWithId(uint32_t ip, const std::array<uint8_t, 20>& peer_id,
                                 const TPeerObject&, bool incoming_only) {
    return std::any_of(other_peers.begin(), other_peers.end(), [&](const KnownPeer& peer) {
        return peer.ip == ip && peer.peer_id == peer_id && (!incoming_only || peer.incoming);
    });
}

void FakePeerTask::NoteConnectedAddress(uint32_t ip, int32_t port) {
    connected_addresses.emplace_back(ip, port);
}

void FakePeerTask::NoteSourcePieces(TPeerId&, int32_t pieces) {
    source_piece_notices.push_back(pieces);
}

void FakePeerTask::Notice(NoticeKind kind, std::string_view address, int64_t number,
                          std::string_view text) {
    notices.push_back({kind, std::string(address), number, std::string(text)});
}

void FakePeerTask::StoreContent(int64_t offset, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), data_.begin() + offset);
    const int64_t end = offset + static_cast<int64_t>(bytes.size());
    for (int64_t block = (offset + kBlockSize - 1) / kBlockSize; block * kBlockSize < end;
         ++block) {
        if (std::min<int64_t>((block + 1) * kBlockSize, content_size_) <= end) {
            done_[static_cast<size_t>(block)] = true;
        }
    }
}

}  // namespace kf::test
