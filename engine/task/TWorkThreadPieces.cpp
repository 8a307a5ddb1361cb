// TWorkThread: the piece map of a plain download laid out from the servers' size; what happens to
// pieces (verified, failed, the map replaced) and who delivered their blocks: a failed piece is
// charged to the peer that sent all of it; one spoiled among several peers is fetched again from
// one alone, and once it passes, the peers whose blocks differed from the good copy are charged.
// A peer is banned at its second charged piece.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/base/EngineLog.h"
#include "engine/peers/TPeerObject.h"
#include "engine/task/PlainLayout.h"
#include "engine/task/TWorkThread.h"

namespace kf {
namespace {

// How long a plain download waits for a second server to confirm the first one's size.
constexpr int64_t kSizeVoteSeconds = 4;

}  // namespace

void TWorkThread::OnPieceVerified(PieceIndex piece) {
    for (const PieceBlame::Charge& charge : blame_.OnPassed(piece)) {
        ChargePeer(piece, charge, "its blocks differed from the good copy");
    }
    scheduler_->OnPieceVerified(piece);
}

void TWorkThread::OnPieceMapReplaced(bool piece_length_changed) {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && peer->Source()->IsServerSource()) {
            peer->ReleaseRange();
        }
    }
    blame_.ForgetPieces();
    scheduler_->OnPieceMapRebuilt(piece_length_changed);
}

void TWorkThread::NoteBlockFrom(ContentBlock block, std::span<const uint8_t> bytes,
                                const TPeerObject& from) {
    const int32_t piece_length = pieces_ ? pieces_->piece_length() : 0;
    if (piece_length <= 0) {
        return;
    }
    const int64_t offset = block.value() * kBlockSize;
    const int64_t piece = offset / piece_length;
    // Servers are never charged: their blocks count as of unknown origin.
    const uint32_t party = from.Type() == PeerKind::BtNode ? from.Work().address : 0;
    blame_.OnBlock(PieceIndex(piece),
                   static_cast<int32_t>((offset - piece * piece_length) / kBlockSize), party,
                   bytes);
}

void TWorkThread::OnPieceFailed(PieceIndex piece) {
    scheduler_->PieceFailed(piece);
    const int32_t blocks = (pieces_->PieceSize(piece) + kBlockSize - 1) / kBlockSize;
    const PieceBlame::Verdict verdict = blame_.OnFailed(piece, blocks);
    // Requests the peers still hold for it would mix their blocks into it again.
    ForgetPieceRequests(piece);
    if (!verdict.suspects.empty()) {
        // A banned peer among them explains the failure: no other one need wait for it.
        const bool explained = std::any_of(verdict.suspects.begin(), verdict.suspects.end(),
                                           [this](uint32_t ip) { return IsBanned(ip); });
        scheduler_->FetchFromOnePeer(piece, explained ? std::vector<uint32_t>{} : verdict.suspects);
    }
    if (verdict.charge.party != 0) {
        ChargePeer(piece, verdict.charge, "every block came from it");
        return;
    }
    const std::string text = verdict.suspects.empty()
                                 ? std::string("no peer known to have sent any of it")
                                 : "blocks from " + std::to_string(verdict.suspects.size()) +
                                       " peers and maybe servers: fetched again from one peer";
    Notice(NoticeKind::kPieceFailed, {}, piece.value(), text);
    if (EngineLogWants(LogChannel::kSha1Check)) {
        EngineLogWrite("Piece " + std::to_string(piece.value()) + " failed its check: " + text,
                       LogChannel::kSha1Check);
    }
}

void TWorkThread::ChargePeer(PieceIndex piece, const PieceBlame::Charge& charge,
                             std::string_view why) {
    const std::string address = PeerAddressText(charge.party);
    const std::string text = std::string(why) + ", its bad piece " + std::to_string(charge.strikes);
    Notice(NoticeKind::kPieceFailed, address, piece.value(), text);
    if (EngineLogWants(LogChannel::kSha1Check)) {
        EngineLogWrite("Piece " + std::to_string(piece.value()) +
                           " failed its check, put down to " + address + ": " + text,
                       LogChannel::kSha1Check);
    }
    if (charge.ban) {
        Ban(charge.party, address,
            "banned after " + std::to_string(charge.strikes) + " pieces failed their check");
        scheduler_->OnPeerBanned(charge.party);
    }
}

void TWorkThread::LayOutFromServerSize() {
    // Without metainfo nothing checks the size a server states, and a short one would end in a
    // truncated file reported complete. So the size is taken when two servers agree on it, when
    // no other server can still answer, or, once the first answer is kSizeVoteSeconds old, from
    // the most servers (the first in candidate order on a tie). Servers that state another size
    // are refused by their own peers afterwards.
    struct Vote {
        int64_t size = 0;
        int32_t count = 0;
        const TPeerId* first = nullptr;
    };
    std::vector<Vote> votes;
    int32_t unanswered = 0;
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (!record->IsServerSource() || !record->HasUrlInfo() ||
            record->UrlInfo().fetch_to_memory) {
            continue;
        }
        const int64_t size = record->UrlInfo().content_length;
        if (size <= 0) {
            unanswered += (record->penalty <= 0 && !record->unresolvable) ? 1 : 0;
            continue;
        }
        auto vote = std::find_if(votes.begin(), votes.end(),
                                 [size](const Vote& known) { return known.size == size; });
        if (vote == votes.end()) {
            votes.push_back({size, 0, record.get()});
            vote = votes.end() - 1;
        }
        ++vote->count;
    }
    if (votes.empty()) {
        return;
    }
    if (size_vote_since_ == 0) {
        size_vote_since_ = now_;
    }
    const Vote& best = *std::max_element(
        votes.begin(), votes.end(), [](const Vote& a, const Vote& b) { return a.count < b.count; });
    if (best.count < 2 && unanswered > 0 && now_ - size_vote_since_ < kSizeVoteSeconds) {
        return;
    }
    const TPeerId& record = *best.first;
    PlainLayout layout;
    layout.size = best.size;
    layout.piece_length = PlainLayout::PieceLengthFor(layout.size);
    if (FullPath()) {
        layout.path = TargetFile();
    } else {
        layout.path = Folder();
        if (layout.path.empty() || layout.path.back() != '/') {
            layout.path += '/';
        }
        layout.path += PlainLayout::SafeFileName(record.UrlInfo().file_name);
    }
    if (BuildPlainPieceMap(layout)) {
        Publish(true, true);
    } else {
        RequestStop();  // the layout was refused (e.g. the disk cannot hold the file)
    }
}

}  // namespace kf
