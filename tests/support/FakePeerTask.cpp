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

bool FakePeerTask::WantsPiece(int32_t piece) {
    return piece >= 0 && piece < piece_count_ && !IsPieceVerified(piece);
}

bool FakePeerTask::IsPieceVerified(int32_t piece) {
    return MissingRange(piece).second == 0;
}

std::pair<int32_t, int32_t> FakePeerTask::MissingRange(int32_t piece) {
    if (piece < 0 || piece >= piece_count_) {
        return {0, 0};
    }
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

bool FakePeerTask::IsBlockDone(int32_t block, int32_t) {
    return block >= 0 && static_cast<size_t>(block) < done_.size() &&
           done_[static_cast<size_t>(block)];
}

PeerTask::WriteResult FakePeerTask::WriteBlock(int32_t block, std::span<const uint8_t> bytes,
                                               TPeerObject& from) {
    writes.push_back(Write{block, static_cast<int32_t>(bytes.size())});
    const int64_t offset = static_cast<int64_t>(block) * kBlockSize;
    if (block < 0 || offset + static_cast<int64_t>(bytes.size()) > content_size_) {
        return {};
    }
    std::copy(bytes.begin(), bytes.end(), data_.begin() + offset);
    done_[static_cast<size_t>(block)] = true;
    const auto piece = static_cast<int32_t>(offset / piece_length_);
    if (failing_pieces.count(piece) != 0 && IsPieceVerified(piece)) {
        // The piece store drops a bad piece and tells the source.
        for (int32_t i = 0; i < BlocksInPiece(piece); ++i) {
            done_[static_cast<size_t>(FirstBlock(piece) + i)] = false;
        }
        failed_pieces.push_back(piece);
        from.OnBadPiece(PieceIndex(piece), true);
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

void FakePeerTask::ReturnBlocks(std::deque<BlockRequest>& queue) {
    shared_blocks.insert(shared_blocks.begin(), queue.begin(), queue.end());
    queue.clear();
}

int32_t FakePeerTask::NextServerPiece(PeerWork& peer) {
    for (int32_t piece = std::max(peer.last_piece + 1, 0); piece < piece_count_; ++piece) {
        if (WantsPiece(piece) && !peer.HasRequestFor(piece, piece_length_)) {
            peer.last_piece = piece;
            return piece;
        }
    }
    return -1;
}

void FakePeerTask::ReleaseRange(PeerWork& peer) {
    ++release_range_calls;
    if (peer.range != nullptr) {
        peer.range->holder = nullptr;
    }
    peer.range = nullptr;
    peer.requests.clear();
}

void FakePeerTask::FinishRange(PeerWork& peer) {
    ++finish_range_calls;
    if (peer.range != nullptr) {
        peer.range->done = true;
        peer.range->holder = nullptr;
    }
    peer.range = nullptr;
}

int32_t FakePeerTask::TakeRangeAtPreferred(PeerWork& peer) {
    ++take_preferred_calls;
    if (preferred_piece < 0 || preferred_piece >= piece_count_) {
        return -1;
    }
    range.start = preferred_piece;
    range.end = piece_count_ - 1;
    range.current = preferred_piece;
    range.holder = &peer;
    peer.range = &range;
    peer.last_piece = preferred_piece;
    return preferred_piece;
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

void FakePeerTask::StoreTrackerFigures(int32_t interval, int64_t done_peers,
                                       int64_t num_completed) {
    tracker_figures.push_back(TrackerFigures{interval, done_peers, num_completed});
}

}  // namespace kf::test
