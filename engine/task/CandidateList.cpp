#include "engine/task/CandidateList.h"

#include <strings.h>

#include <algorithm>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/TPeerUrlInfo.h"

namespace kf {
namespace {

constexpr uint32_t kLoopbackOne = 0x0100007Fu;  // 127.0.0.1 in network order
constexpr int64_t kTrackerRetrySeconds = 600;

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool CarriesUdpTag(const TPeerId::PeerIdBytes& peer_id) {
    return peer_id[16] == 'U' && peer_id[17] == 'D' && peer_id[18] == 'P';
}

bool Before(const RefPtr<TPeerId>& a, const RefPtr<TPeerId>& b) {
    if (a->weight != b->weight) {
        return a->weight > b->weight;
    }
    if (a->whole_pieces != b->whole_pieces) {
        return a->whole_pieces > b->whole_pieces;
    }
    if (a->attempts != b->attempts) {
        return a->attempts < b->attempts;
    }
    if (a->reconnects != b->reconnects) {
        return a->reconnects < b->reconnects;
    }
    return a->penalty < b->penalty;
}

}  // namespace

TPeerId* CandidateList::Find(const TPeerId& record) {
    for (const RefPtr<TPeerId>& stored : records_) {
        if (EqualIgnoringCase(stored->url, record.url) &&
            (!stored->resolved || stored->ip == record.ip)) {
            return stored.get();
        }
        if (stored->kind == record.kind && stored->ip == record.ip && stored->port == record.port &&
            stored->ConnectsByName() == record.ConnectsByName() &&
            (!record.ConnectsByName() ||
             EqualIgnoringCase(stored->UrlInfo().host, record.UrlInfo().host))) {
            if (stored->resolved && record.resolved && stored->IsServerSource() &&
                EqualIgnoringCase(stored->UrlInfo().http_path, record.UrlInfo().http_path)) {
                return stored.get();
            }
            if (record.kind == PeerKind::BtNode || record.kind == PeerKind::Tracker) {
                return stored.get();
            }
        }
    }
    return nullptr;
}

bool CandidateList::Add(const TPeerId& record, bool from_lan, bool replace_id,
                        const Identity& identity) {
    if (record.kind == PeerKind::BtNode) {
        if (record.ip == kLoopbackOne) {
            return false;
        }
        if (identity.swarm_task && record.peer_id == identity.own_peer_id) {
            return false;
        }
    }
    if (record.resolved && identity.listen_port != 0 && record.port == identity.listen_port &&
        (record.ip == identity.listen_ip ||
         (IsValidAddress(identity.external_ip) && record.ip == identity.external_ip))) {
        return false;  // ourselves
    }
    if (TPeerId* stored = Find(record)) {
        const bool peer_like = record.kind == PeerKind::BtNode || record.kind == PeerKind::Tracker;
        if (peer_like && stored->ip == record.ip && stored->port == record.port &&
            ((from_lan && !CarriesUdpTag(stored->peer_id)) || replace_id)) {
            stored->peer_id = record.peer_id;
        }
        return true;
    }
    RefPtr<TPeerId> copy = record.Copy();
    if (copy->kind == PeerKind::BtNode) {
        copy->weight = TPeerId::kWeightBtPeer;
    }
    TPeerId::ApplyUdpClientTag(copy->peer_id);
    if (copy->IsServerSource() || from_lan) {
        // A random place among the records of the same weight spreads the load over mirrors.
        const auto first =
            std::find_if(records_.begin(), records_.end(),
                         [&](const RefPtr<TPeerId>& r) { return r->weight <= copy->weight; });
        const auto last = std::find_if(first, records_.end(), [&](const RefPtr<TPeerId>& r) {
            return r->weight < copy->weight;
        });
        const auto span = static_cast<size_t>(last - first);
        const auto offset =
            static_cast<std::ptrdiff_t>(std::uniform_int_distribution<size_t>(0, span)(random_));
        records_.insert(first + offset, std::move(copy));
    } else {
        records_.insert(records_.begin(), std::move(copy));
    }
    Sort();
    return true;
}

TPeerId* CandidateList::Insert(RefPtr<TPeerId> record, bool front) {
    TPeerId* stored = record.get();
    records_.insert(front ? records_.begin() : records_.end(), std::move(record));
    Sort();
    return stored;
}

void CandidateList::Remove(const TPeerId* record) {
    records_.erase(std::remove_if(records_.begin(), records_.end(),
                                  [record](const RefPtr<TPeerId>& r) { return r.get() == record; }),
                   records_.end());
}

void CandidateList::RemoveIf(const std::function<bool(TPeerId&)>& drop) {
    records_.erase(std::remove_if(records_.begin(), records_.end(),
                                  [&drop](const RefPtr<TPeerId>& r) { return drop(*r); }),
                   records_.end());
}

void CandidateList::Sort() {
    std::stable_sort(records_.begin(), records_.end(), Before);
}

void CandidateList::MoveToEnd(const TPeerId* record) {
    const auto it = std::find_if(records_.begin(), records_.end(),
                                 [record](const RefPtr<TPeerId>& r) { return r.get() == record; });
    if (it != records_.end()) {
        std::rotate(it, it + 1, records_.end());
    }
}

bool CandidateList::Eligible(TPeerId& record, int32_t speed, int64_t now) {
    if (!record.resolved) {
        return false;
    }
    if (record.IsServerSource()) {
        if (record.connections >= record.max_connections) {
            return false;
        }
        if (record.connections > 0 && record.UrlInfo().content_length <= 0) {
            return false;  // a second connection needs the size from the first
        }
        if (record.connections == 0) {
            if (record.whole_pieces > 15) {
                record.penalty = 0;
                return true;
            }
            if (record.whole_pieces > 5) {
                record.penalty = record.penalty < 10 ? 0 : record.penalty / 10;
            } else if (record.whole_pieces > 0) {
                record.penalty = record.penalty < 5 ? 0 : record.penalty / 5;
            }
            if (speed == 0 && record.penalty > 0) {
                record.penalty = record.penalty <= 10 ? 0 : record.penalty / 10;
            }
        }
    } else if (record.connections > 0) {
        return false;
    }
    if (record.kind == PeerKind::Tracker && record.last_attach_time != 0 &&
        now - record.last_attach_time < kTrackerRetrySeconds) {
        return false;
    }
    if (record.penalty > 0) {
        --record.penalty;
    }
    return record.penalty <= 0;
}

}  // namespace kf
