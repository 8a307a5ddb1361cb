#include "engine/dht/DhtPeerStore.h"

#include <algorithm>
#include <cstring>

namespace kf {
namespace {

uint64_t PeerKey(uint32_t ip, uint16_t port) {
    return (uint64_t{ip} << 16) | port;
}

void AppendPeer(std::string& out, uint64_t key) {
    const auto ip = static_cast<uint32_t>(key >> 16);
    const auto port = static_cast<uint16_t>(key);
    char bytes[6];
    std::memcpy(bytes, &ip, 4);
    bytes[4] = static_cast<char>(port >> 8);
    bytes[5] = static_cast<char>(port & 0xff);
    out.append(bytes, sizeof(bytes));
}

}  // namespace

bool DhtPeerStore::AddPeer(const NodeId& info_hash, uint32_t ip, uint16_t port, int64_t now) {
    auto hash = hashes_.find(info_hash);
    if (hash == hashes_.end()) {
        if (hashes_.size() >= kMaxHashes) {
            return false;
        }
        hash = hashes_.emplace(info_hash, Peers{}).first;
    }
    Peers& peers = hash->second;
    const uint64_t key = PeerKey(ip, port);
    if (peers.size() >= kMaxPeers && !peers.contains(key)) {
        const auto oldest =
            std::min_element(peers.begin(), peers.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        peers.erase(oldest);
    }
    peers[key] = now;
    return true;
}

template <typename Emit>
bool DhtPeerStore::Select(const NodeId& info_hash, int64_t now, Emit emit) const {
    const auto hash = hashes_.find(info_hash);
    if (hash == hashes_.end()) {
        return false;
    }
    const Peers& peers = hash->second;
    size_t skip = 0;
    if (peers.size() > kMaxAnswerPeers) {
        skip = static_cast<size_t>(std::max<int64_t>(now, 0)) % (peers.size() - kMaxAnswerPeers);
    }
    auto it = std::next(peers.begin(), static_cast<std::ptrdiff_t>(skip));
    for (size_t taken = 0; it != peers.end() && taken < kMaxAnswerPeers; ++it, ++taken) {
        emit(it->first);
    }
    return true;
}

bool DhtPeerStore::WriteValues(const NodeId& info_hash, int64_t now, std::string& out) const {
    if (!hashes_.contains(info_hash)) {
        return false;
    }
    out.append("6:valuesl");
    Select(info_hash, now, [&out](uint64_t key) {
        out.append("6:");
        AppendPeer(out, key);
    });
    out.push_back('e');
    return true;
}

bool DhtPeerStore::CopyPeers(const NodeId& info_hash, int64_t now, std::string& out) const {
    return Select(info_hash, now, [&out](uint64_t key) { AppendPeer(out, key); });
}

void DhtPeerStore::Prune(int64_t now) {
    if (pruned_at_ >= 0 && now - pruned_at_ < kPruneEvery) {
        return;
    }
    pruned_at_ = now;
    for (auto hash = hashes_.begin(); hash != hashes_.end();) {
        std::erase_if(hash->second,
                      [now](const auto& peer) { return now - peer.second > kPeerLife; });
        hash = hash->second.empty() ? hashes_.erase(hash) : std::next(hash);
    }
}

size_t DhtPeerStore::PeerCount() const {
    size_t count = 0;
    for (const auto& [hash, peers] : hashes_) {
        count += peers.size();
    }
    return count;
}

}  // namespace kf
