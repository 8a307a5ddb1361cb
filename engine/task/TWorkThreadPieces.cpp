// TWorkThread: what happens to pieces (verified, failed, the map replaced) and who delivered
// their blocks: a failed piece is charged to the peer that sent all of it, banned at its second,
// and a piece spoiled among several peers is fetched again from one alone.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/base/EngineLog.h"
#include "engine/net/Ipv4Address.h"
#include "engine/peers/TPeerObject.h"
#include "engine/task/TWorkThread.h"

namespace kf {
namespace {

std::string AddressText(uint32_t ip, const TPeerObject& from) {
    const TPeerId* source = from.Source();
    const int32_t port = source != nullptr && source->ip == ip ? source->port : 0;
    return DottedText(ip) + ":" + std::to_string(port);
}

}  // namespace

void TWorkThread::OnPieceVerified(PieceIndex piece) {
    blame_.OnPassed(piece);
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

void TWorkThread::NoteBlockFrom(ContentBlock block, const TPeerObject& from) {
    const int32_t piece_length = pieces_ ? pieces_->piece_length() : 0;
    if (piece_length <= 0) {
        return;
    }
    const int64_t offset = block.value() * kBlockSize;
    const int64_t piece = offset / piece_length;
    // Servers are never charged: their blocks count as of unknown origin.
    const uint32_t party = from.Type() == PeerKind::BtNode ? from.Work().address : 0;
    blame_.OnBlock(PieceIndex(piece),
                   static_cast<int32_t>((offset - piece * piece_length) / kBlockSize), party);
}

void TWorkThread::OnPieceFailed(PieceIndex piece, const TPeerObject& from) {
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
    const std::string address =
        verdict.charged != 0 ? AddressText(verdict.charged, from) : std::string();
    const bool log = EngineLogWants(LogChannel::kSha1Check);
    if (NoticesWanted() || log) {
        std::string text;
        if (verdict.charged != 0) {
            text = "every block from " + address + ", its bad piece " +
                   std::to_string(verdict.strikes);
        } else if (!verdict.suspects.empty()) {
            text = "blocks from " + std::to_string(verdict.suspects.size()) +
                   " peers or more: fetched again from one";
        } else {
            text = "no peer known to have delivered all of it";
        }
        Notice(NoticeKind::kPieceFailed, address, piece.value(), text);
        if (log) {
            EngineLogWrite("Piece " + std::to_string(piece.value()) + " failed its check: " + text,
                           LogChannel::kSha1Check);
        }
    }
    if (verdict.ban) {
        Ban(verdict.charged, address,
            "banned after " + std::to_string(verdict.strikes) + " pieces failed their check");
        scheduler_->OnPeerBanned(verdict.charged);
    }
}

}  // namespace kf
