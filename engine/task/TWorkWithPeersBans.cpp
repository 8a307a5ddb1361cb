// TWorkWithPeers: the ban list of BT peers that sent bad data, and the requests for a piece that
// failed its check.

#include <algorithm>
#include <string>

#include "engine/base/EngineLog.h"
#include "engine/net/Ipv4Address.h"
#include "engine/peers/TBTPeer.h"
#include "engine/task/TWorkWithPeers.h"

namespace kf {
namespace {

constexpr int32_t kBanPenalty = 3;

// The remote's address: the record's once the handshake is done, else the connection's.
uint32_t RemoteAddress(const TPeerObject& peer) {
    if (peer.Work().address != 0) {
        return peer.Work().address;
    }
    if (peer.Source() != nullptr) {
        return peer.Source()->ip;
    }
    return peer.Connection() != nullptr ? peer.Connection()->RemoteIp() : 0;
}

}  // namespace

void TWorkWithPeers::Ban(uint32_t ip, std::string_view address, std::string_view reason) {
    if (ip == 0 || IsBanned(ip)) {
        return;
    }
    banned_.push_back(ip);
    // Nothing more is taken from it meanwhile.
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Type() == PeerKind::BtNode && RemoteAddress(*peer) == ip) {
            static_cast<TBTPeer&>(*peer).StopFetching();
        }
    }
    Notice(NoticeKind::kBanned, address, 0, reason);
    if (EngineLogWants(LogChannel::kPeerInfo)) {
        EngineLogWrite(std::string(address) + " " + std::string(reason), LogChannel::kPeerInfo);
    }
}

bool TWorkWithPeers::IsBanned(uint32_t ip) const {
    return std::find(banned_.begin(), banned_.end(), ip) != banned_.end();
}

std::string TWorkWithPeers::PeerAddressText(uint32_t ip) const {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Type() == PeerKind::BtNode && RemoteAddress(*peer) == ip &&
            peer->Source() != nullptr && peer->Source()->ip == ip) {
            return peer->AddressText();
        }
    }
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->kind == PeerKind::BtNode && record->ip == ip) {
            return DottedText(ip) + ":" + std::to_string(record->port);
        }
    }
    return DottedText(ip);
}

void TWorkWithPeers::DropBannedPeers() {
    if (banned_.empty()) {
        return;
    }
    std::vector<RefPtr<TPeerObject>> dropped;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Type() == PeerKind::BtNode && IsBanned(RemoteAddress(*peer))) {
            dropped.push_back(peer);
        }
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, kBanPenalty, "banned");
    }
}

void TWorkWithPeers::ForgetPieceRequests(PieceIndex piece) {
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Type() == PeerKind::BtNode) {
            static_cast<TBTPeer&>(*peer).ForgetPiece(piece);
        }
    }
}

}  // namespace kf
