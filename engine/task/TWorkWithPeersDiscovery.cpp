// TWorkWithPeers: peers found on the local network, and whom the task still wants to hear from.

#include "engine/base/EngineGlobals.h"
#include "engine/dht/CKademlia.h"
#include "engine/net/Ipv4Address.h"
#include "engine/task/TWorkWithPeers.h"
#include "engine/udp/QUInternalServer.h"

namespace kf {
namespace {

// A peer on our own network is worth more than one a tracker named.
constexpr int32_t kWeightLanPeer = 35;

}  // namespace

bool TWorkWithPeers::LanStep() {
    if (!PieceMapReady() || !identity_.prepared()) {
        return false;
    }
    const std::optional<std::vector<LanDatagram>> found =
        swarm_.LanStep(this, identity_.info_hash(), identity_.peer_id(), lan_query_sent_);
    if (!found) {
        return false;
    }
    // One step makes room at most once, however many preferred peers it found.
    bool may_drop = true;
    for (const LanDatagram& peer : *found) {
        if (IsBanned(peer.ip)) {
            continue;
        }
        TPeerId* record = AddPeerAddress(peer.ip, peer.port, true, kWeightLanPeer, &may_drop);
        record->peer_id = peer.peer_id;
    }
    return true;
}

void TWorkWithPeers::DhtStep() {
    CKademlia& dht = CKademlia::Instance();
    if (!EngineGlobals::Instance().dht_enabled || !Settings().use_dht || !dht.IsRunning() ||
        Kind() == TaskKind::kHttp || !PieceMapReady() || !identity_.prepared() ||
        IsZeroId(identity_.info_hash())) {
        return;
    }
    const auto listen_port = static_cast<uint16_t>(swarm_.ListenPort());
    dht_lookup_.Step(
        identity_.info_hash(), listen_port, [this] { return TorrentTrackers(); }, TaskNow(),
        [this](uint32_t ip, uint16_t port) { AddDhtPeer(ip, port); });
}

bool TWorkWithPeers::DhtHarvest() {
    if (!dht_lookup_.HasLookup()) {
        DhtStep();
        return false;
    }
    dht_lookup_.SetAnnouncePort(static_cast<uint16_t>(swarm_.ListenPort()));
    bool added = false;
    if (EngineGlobals::Instance().dht_enabled) {
        dht_lookup_.TakeFound(
            [this, &added](uint32_t ip, uint16_t port) { added |= AddDhtPeer(ip, port); });
    }
    return added;
}

bool TWorkWithPeers::AddDhtPeer(uint32_t ip, uint16_t port) {
    if (IsBanned(ip)) {
        return false;
    }
    AddPeerAddress(ip, port, false, 1);
    return true;
}

bool TWorkWithPeers::WantsMorePeers() {
    // Behind NAT (not reachable) with the address the rendezvous server saw: tunnelled
    // connections are how others reach this engine.
    return !EngineGlobals::Instance().reachable &&
           IsValidAddress(QUInternalServer::Engine().ExternalAddress());
}

}  // namespace kf
