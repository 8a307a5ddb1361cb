// TWorkWithPeers: the candidate records (source lines, mirrors, peer addresses), their penalties,
// and the per-second rebalance of the server sources.

#include <algorithm>
#include <ctime>
#include <random>
#include <string>
#include <string_view>

#include "engine/base/EngineLog.h"
#include "engine/net/QProxyConfig.h"
#include "engine/peers/AddressText.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/task/TWorkWithPeers.h"
#include "engine/udp/QUInternalServer.h"

namespace kf {
namespace {

constexpr int32_t kSlowSourceBytes = 1024;
constexpr int32_t kSlowSourceSeconds = 15;
constexpr int64_t kSourceRebalanceSeconds = 45;
constexpr int64_t kMirrorRebalanceSeconds = 31;
constexpr int32_t kBadSourcePieces = 32;
constexpr int32_t kWeightNeedsRoom = 34;
constexpr int32_t kBtPenaltyCandidates = 400;
constexpr int32_t kCompleteExtraPenalty = 20;
constexpr size_t kMaxUdpHostsTold = 64;
constexpr std::string_view kTrackerPrefix = "tracker://";

}  // namespace

bool TWorkWithPeers::ParseCandidate(TPeerId& record) {
    if (!record.ParseSourceText()) {
        return false;
    }
    const bool tracker = record.kind == PeerKind::Tracker;
    const bool by_proxy = tracker ? EngineProxyConfig().ResolvesNames() : ProxyResolvesNames();
    if (record.ResolveSource(by_proxy)) {
        return true;
    }
    if (tracker && by_proxy && record.unresolvable && !record.NameMayGoToProxy() &&
        udp_hosts_told_.size() < kMaxUdpHostsTold &&
        udp_hosts_told_.insert(record.UrlInfo().host).second) {
        const std::string why = "udp tracker " + record.UrlInfo().host +
                                " needs a local address: the proxy cannot carry UDP";
        EngineLogWrite(why, LogChannel::kPeerInfo);
        std::string_view url = record.url;
        if (StartsWithIgnoreCase(url, kTrackerPrefix)) {
            url.remove_prefix(kTrackerPrefix.size());
        }
        Notice(NoticeKind::kTrackerFailed, url, 0, why);
    }
    return false;
}

bool TWorkWithPeers::AddSource(const TPeerId& record, bool from_lan, bool replace_id) {
    CandidateList::Identity identity;
    identity.swarm_task = Kind() != TaskKind::kHttp;
    identity.own_peer_id = identity_.peer_id();
    identity.listen_ip = swarm_.ListenIp();
    identity.listen_port = swarm_.ListenPort();
    identity.external_ip = QUInternalServer::Engine().ExternalAddress();
    const bool added = candidates_.Add(record, from_lan, replace_id, identity);
    candidate_added_ = candidate_added_ || added;
    return added;
}

void TWorkWithPeers::RemoveSource(const TPeerId& record) {
    if (TPeerId* stored = candidates_.Find(record)) {
        candidates_.Remove(stored);
    }
}

void TWorkWithPeers::AddRecordFromLine(SourceEntry& line, bool connect) {
    if (line.text.empty()) {
        return;
    }
    auto record = RefPtr<TPeerId>::Make(line.text);
    const bool parsed = ParseCandidate(*record);
    const bool torrent_line = (line.mark & SourceEntry::kTorrentLine) != 0;
    if (torrent_line) {
        record->UrlInfo().fetch_to_memory = true;
        record->max_connections = 1;
        record->role = TPeerId::kRoleTorrentLine;
        line.mark = SourceEntry::kTorrentLineUsed;
    } else if (line.mark == SourceEntry::kFresh) {
        line.mark = SourceEntry::kUsed;
    }
    if (!parsed) {
        if (record->unresolvable) {
            ReportUnresolvable();
        }
        return;
    }
    record->weight = TPeerId::kWeightTextSource;
    AddSource(*record, false, false);
    if (connect && record->IsServerSource()) {
        if (TPeerId* stored = candidates_.Find(*record)) {
            ConnectNow(*stored);
        }
    }
}

void TWorkWithPeers::AddSourceLines(bool from_saved, bool connect) {
    if (!lines_saved_) {
        saved_lines_ = sources_;
        lines_saved_ = true;
    }
    if (from_saved) {
        // The saved lines bring back sources that were dropped; a torrent line is fetched again
        // only while the task has no piece map.
        std::vector<SourceEntry> lines = saved_lines_;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if ((it->mark & SourceEntry::kTorrentLine) != 0 && PieceMapReady()) {
                continue;
            }
            AddRecordFromLine(*it, connect);
        }
    } else {
        for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
            if (it->mark == SourceEntry::kUsed || it->mark == SourceEntry::kTorrentLineUsed) {
                continue;
            }
            AddRecordFromLine(*it, connect);
            sources_changed_ = true;
        }
    }
    RecheckCandidates();
}

void TWorkWithPeers::RecheckCandidates() {
    candidates_.RemoveIf(
        [this](TPeerId& record) { return !record.resolved && !ParseCandidate(record); });
    std::vector<RefPtr<TPeerId>> extra;
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->resolved && record->IsServerSource() && record->HasUrlInfo() &&
            !record->UrlInfo().addresses.empty()) {
            for (RefPtr<TPeerId>& copy : record->MakeFanOutRecords()) {
                extra.push_back(std::move(copy));
            }
            record->UrlInfo().addresses.clear();
        }
    }
    for (const RefPtr<TPeerId>& record : extra) {
        AddSource(*record, false, false);
    }
}

int32_t TWorkWithPeers::AddMirrorCandidates(int32_t count, bool connect) {
    const std::vector<std::string> urls = MirrorUrls();
    const std::vector<std::string> hosts = MirrorHosts();
    if (!MirrorMode() || urls.empty() || count <= 0) {
        return 0;
    }
    std::mt19937 random(static_cast<uint32_t>(time(nullptr)));
    int32_t added = 0;
    for (int32_t tries = 0; tries < 2 * count && added < count; ++tries) {
        const size_t row = std::uniform_int_distribution<size_t>(0, urls.size() - 1)(random);
        auto record = RefPtr<TPeerId>::Make(urls[row]);
        if (!ParseCandidate(*record)) {
            if (record->unresolvable) {
                ReportUnresolvable();
            }
            continue;
        }
        if (row < hosts.size() && hosts[row] != "null" && !hosts[row].empty()) {
            record->UrlInfo().host = hosts[row];
        }
        record->weight = TPeerId::kWeightTextSource;
        if (!AddSource(*record, false, false)) {
            continue;
        }
        TPeerId* stored = candidates_.Find(*record);
        if (connect && stored != nullptr) {
            if (ConnectNow(*stored)) {
                ++added;
            }
        } else {
            ++added;
        }
    }
    return added;
}

void TWorkWithPeers::Penalize(TPeerId& record, TPeerObject& peer, int32_t amount) {
    if (candidates_.Find(record) == nullptr) {
        return;
    }
    if (record.kind == PeerKind::BtNode) {
        // A peer that was talking to us without a fault leaves without a mark.
        if (peer.State() == TPeerObject::kEstablished && peer.Errors() == 0) {
            return;
        }
        if (amount < 0 || amount > 4095) {
            amount = 1;
        }
        const int64_t weight = int64_t{std::max(record.attempts - 1, amount)} *
                               static_cast<int64_t>(candidates_.size());
        record.penalty += (weight <= kBtPenaltyCandidates ? 1 : 2) * amount + 5;
        if (ContentComplete()) {
            record.penalty += kCompleteExtraPenalty;
        }
        if (record.penalty <= 0) {
            record.penalty = 10;
        }
        ++record.attempts;
        candidates_.MoveToEnd(&record);
        return;
    }
    if (record.IsServerSource() && record.connections > 1) {
        if (record.penalty <= 0) {
            record.penalty += 2;
        }
        return;
    }
    record.penalty += 3 * std::max(record.attempts - 1, 0) + amount;
    ++record.attempts;
    if (record.IsServerSource() && amount > 0 && NoticesWanted()) {
        Notice(NoticeKind::kPenalised, peer.AddressText(), record.penalty,
               "tried again once its penalty has run down");
    }
}

TPeerId* TWorkWithPeers::AddPeerAddress(uint32_t ip, int32_t port, bool front, int32_t weight,
                                        bool* may_drop) {
    for (const RefPtr<TPeerId>& record : candidates_.records()) {
        if (record->kind == PeerKind::BtNode && record->IsValid() && record->ip == ip &&
            record->port == port) {
            record->weight = weight;
            return record.get();
        }
    }
    auto record = RefPtr<TPeerId>::Make();
    record->kind = PeerKind::BtNode;
    record->ip = ip;
    record->port = port;
    record->peer_id = TPeerId::CompactPeerId(ip, port);
    record->resolved = true;
    record->max_connections = 1;
    record->weight = std::max(TPeerId::kWeightBtPeer, weight);
    TPeerId* stored = candidates_.Insert(std::move(record), front);
    candidate_added_ = true;
    if (stored->weight > kWeightNeedsRoom && (may_drop == nullptr || *may_drop) &&
        BtHalfOpenRoom() == 0) {
        DropPeers(KindBits(PeerKind::BtNode), 2, false, "room for a preferred peer");
        if (may_drop != nullptr) {
            *may_drop = false;
        }
    }
    return stored;
}

void TWorkWithPeers::PerSecondPeerWork() {
    if (ContentComplete()) {
        return;
    }
    int64_t server_rate = 0;
    bool has_server = false;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && peer->Source()->IsServerSource()) {
            has_server = true;
            server_rate += peer->GetRates().download_rate;
        }
    }
    if (has_server && server_rate < kSlowSourceBytes) {
        if (++slow_source_seconds_ > kSlowSourceSeconds) {
            AddSourceLines(true, true);
            slow_source_seconds_ = 0;
        }
    } else {
        slow_source_seconds_ = 0;
    }

    if (!candidate_added_) {
        return;
    }
    const int64_t now = TaskNow();
    const int32_t limit = SourceConnectionLimit();
    const int32_t live = LiveServerConnections();
    if (!MirrorMode()) {
        if (now - last_rebalance_ < kSourceRebalanceSeconds) {
            return;
        }
        last_rebalance_ = now;
        const auto waiting = std::count_if(
            candidates_.records().begin(), candidates_.records().end(),
            [](const RefPtr<TPeerId>& record) {
                return record->IsServerSource() && record->resolved && record->penalty <= 0 &&
                       record->connections < record->max_connections;
            });
        if (live >= limit && waiting >= limit) {
            DropPeers(kServerSourceKinds, live - limit + 1, true, "slow: room for another source");
        }
        return;
    }
    if (now - last_rebalance_ < kMirrorRebalanceSeconds) {
        return;
    }
    last_rebalance_ = now;
    int32_t n = live;
    if (n >= limit - 1) {
        DropPeers(kServerSourceKinds, n - limit + 1, true, "slow: room for another mirror");
        n = limit - 1;
    }
    if (n < limit) {
        AddMirrorCandidates(n == limit ? 1 : limit - n, true);
        RecheckCandidates();
    }
}

void TWorkWithPeers::DropBadSources() {
    const auto bad = [](TPeerId& record) {
        if (!record.IsServerSource() || !record.HasUrlInfo()) {
            return false;
        }
        const int32_t bad_pieces = record.UrlInfo().bad_pieces;
        return bad_pieces >= kBadSourcePieces && bad_pieces * 2 >= record.whole_pieces;
    };
    std::vector<RefPtr<TPeerObject>> dropped;
    for (const RefPtr<TPeerObject>& peer : active_) {
        if (peer->Source() != nullptr && bad(*peer->Source())) {
            dropped.push_back(peer);
        }
    }
    for (const RefPtr<TPeerObject>& peer : dropped) {
        RetirePeer(peer, -1, "too many of its pieces failed their check");
    }
    candidates_.RemoveIf(bad);
}

}  // namespace kf
