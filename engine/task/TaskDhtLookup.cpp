#include "engine/task/TaskDhtLookup.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/dht/CKademlia.h"
#include "engine/dht/DhtNodeList.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"

namespace kf {

int64_t TaskDhtLookup::RerunDelay(size_t candidates) {
    if (candidates > 3 && candidates < 8) {
        return 180;
    }
    if (candidates >= 8) {
        return 360;
    }
    return static_cast<int64_t>(std::max<size_t>(candidates, 1)) * 30;
}

void TaskDhtLookup::Forget() {
    if (lookup_) {
        dht_.RemoveLookup(lookup_);
        lookup_.reset();
    }
    done_mark_ = false;
}

void TaskDhtLookup::TakeFound(const std::function<void(uint32_t, uint16_t)>& add_peer) {
    if (!lookup_ || !(lookup_->IsStarted() || lookup_->IsDone())) {
        return;
    }
    std::string peers;
    lookup_->TakePeers(peers);
    for (size_t at = 0; at + 6 <= peers.size(); at += 6) {
        uint32_t ip = 0;
        std::memcpy(&ip, peers.data() + at, 4);
        const auto port = static_cast<uint16_t>((static_cast<uint8_t>(peers[at + 4]) << 8) |
                                                static_cast<uint8_t>(peers[at + 5]));
        if (IsValidAddress(ip) && port != 0) {
            add_peer(ip, port);
        }
    }
}

void TaskDhtLookup::PingNodeEntries(const std::vector<std::string>& trackers) {
    constexpr std::string_view kScheme = "node://";
    int32_t pinged = 0;
    for (const std::string& entry : trackers) {
        if (pinged >= kMaxNodePings) {
            return;
        }
        if (entry.size() <= kScheme.size() ||
            !std::equal(kScheme.begin(), kScheme.end(), entry.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            })) {
            continue;
        }
        const std::string_view rest = std::string_view(entry).substr(kScheme.size());
        const size_t colon = rest.rfind(':');
        const std::string_view host = rest.substr(0, colon);
        const std::optional<uint16_t> port = colon == std::string_view::npos
                                                 ? std::optional<uint16_t>(80)
                                                 : ParseDhtPort(rest.substr(colon + 1));
        if (host.empty() || !port ||
            dht_.IsBootstrapHost(std::string(host) + ":" + std::to_string(*port))) {
            continue;
        }
        const uint32_t ip = ResolveHost(host);
        if (IsValidAddress(ip)) {
            dht_.PingAddress(ip, *port);
            ++pinged;
        }
    }
}

void TaskDhtLookup::Step(const NodeId& info_hash, uint16_t listen_port,
                         const std::function<std::vector<std::string>()>& trackers, int64_t now,
                         const std::function<void(uint32_t, uint16_t)>& add_peer) {
    bool fresh = false;
    if (!lookup_ && dht_.NodeCount() == 0) {
        return;
    }
    if (!lookup_ || lookup_->Target() != info_hash) {
        Forget();
        lookup_ = std::make_shared<CKadActionBitTorrent>(dht_.Host(), info_hash);
        fresh = true;
        PingNodeEntries(trackers());
    }
    lookup_->SetAnnouncePort(listen_port);
    if (!fresh) {
        const bool done = lookup_->IsDone();
        if (lookup_->IsStarted() || done) {
            TakeFound(add_peer);
            if (done && !done_mark_) {
                done_mark_ = true;
                dht_.RemoveLookup(lookup_);
            }
            if (!done) {
                return;
            }
            if (now - lookup_->DoneTime() < RerunDelay(lookup_->CandidateCount())) {
                return;
            }
        }
    }
    if (lookup_->IsStarted() || lookup_->IsDone()) {
        lookup_->Reset();
    }
    done_mark_ = false;
    dht_.AddLookup(lookup_);
}

}  // namespace kf
