#include "engine/dht/DhtRoutingTable.h"

#include <algorithm>

#include "engine/content/Bencode.h"

namespace kf {
namespace {

NodeId MaxId() {
    NodeId id;
    id.fill(0xff);
    return id;
}

bool Less(const NodeId& a, const NodeId& b) {
    return a < b;
}

}  // namespace

bool DhtRoutingTable::Bucket::Covers(const NodeId& id) const {
    return Less(start, id) && !Less(end, id);
}

DhtRoutingTable::DhtRoutingTable(const NodeId& own_id) : own_id_(own_id) {
    buckets_.push_back(Bucket{NodeId{}, MaxId(), {}, 0});
}

NodeId DhtRoutingTable::OwnId() {
    QTMutexLock hold(lock_);
    return own_id_;
}

void DhtRoutingTable::Clear(const NodeId& own_id) {
    QTMutexLock hold(lock_);
    own_id_ = own_id;
    buckets_.assign(1, Bucket{NodeId{}, MaxId(), {}, 0});
    received_tokens_.clear();
}

DhtRoutingTable::Bucket* DhtRoutingTable::BucketOf(const NodeId& id) {
    if (buckets_.empty()) {
        buckets_.push_back(Bucket{NodeId{}, MaxId(), {}, 0});
    }
    for (Bucket& bucket : buckets_) {
        if (bucket.Covers(id)) {
            return &bucket;
        }
    }
    return nullptr;
}

std::optional<DhtNode> DhtRoutingTable::InsertNode(DhtNode node, bool seen, bool force,
                                                   int64_t now) {
    QTMutexLock hold(lock_);
    return InsertLocked(node, seen, force, now);
}

std::optional<DhtNode> DhtRoutingTable::InsertLocked(DhtNode node, bool seen, bool force,
                                                     int64_t now) {
    if (!node.Valid() || node.id == own_id_) {
        return std::nullopt;
    }
    if (seen) {
        node.last_seen = now;
        node.failures = 0;
        node.stale = false;
    }
    Bucket* bucket = BucketOf(node.id);
    if (bucket == nullptr) {
        return std::nullopt;
    }
    auto& nodes = bucket->nodes;
    const auto same = std::find_if(nodes.begin(), nodes.end(),
                                   [&node](const DhtNode& known) { return known.SameAs(node); });
    if (same != nodes.end()) {
        if (seen || node.Good()) {
            nodes.erase(same);
            nodes.push_back(node);
            bucket->changed = now;
        }
        return std::nullopt;
    }
    if (nodes.size() < kBucketSize) {
        nodes.push_back(node);
        bucket->changed = now;
        return std::nullopt;
    }
    if (!force && buckets_.size() > 3) {
        std::vector<const DhtNode*> candidates;
        for (const DhtNode& known : nodes) {
            if (known.stale) {
                candidates.push_back(&known);
            }
        }
        if (candidates.empty()) {
            for (const DhtNode& known : nodes) {
                if (now - known.last_seen > kIdleAfter) {
                    candidates.push_back(&known);
                }
            }
        }
        if (!candidates.empty()) {
            const DhtNode oldest = **std::min_element(
                candidates.begin(), candidates.end(),
                [](const DhtNode* a, const DhtNode* b) { return a->last_seen < b->last_seen; });
            if (oldest.Good() || (oldest.last_seen == 0 && oldest.failures < 3)) {
                return oldest;
            }
            ReplaceLocked(oldest, node, now);
            return std::nullopt;
        }
    }
    if (buckets_.size() >= 4 && !bucket->Covers(own_id_)) {
        return std::nullopt;
    }
    if (buckets_.size() >= kMaxBuckets) {
        return std::nullopt;
    }
    Split(static_cast<size_t>(bucket - buckets_.data()), now);
    return InsertLocked(node, false, false, now);
}

void DhtRoutingTable::Split(size_t index, int64_t now) {
    Bucket& bucket = buckets_[index];
    const NodeId half = HalveId(SubtractIds(bucket.end, bucket.start));
    const NodeId mid = SubtractIds(bucket.end, half);
    Bucket upper{mid, bucket.end, {}, now};
    bucket.end = mid;
    auto& nodes = bucket.nodes;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (Less(mid, it->id)) {
            upper.nodes.push_back(*it);
            it = nodes.erase(it);
        } else {
            ++it;
        }
    }
    buckets_.insert(buckets_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(upper));
}

bool DhtRoutingTable::FindClosest(const NodeId& target, std::vector<DhtNode>& out,
                                  bool include_stale) {
    QTMutexLock hold(lock_);
    const auto home = std::find_if(buckets_.begin(), buckets_.end(),
                                   [&target](const Bucket& b) { return b.Covers(target); });
    if (home == buckets_.end()) {
        return !out.empty();
    }
    std::vector<DhtNode> found;
    const auto collect = [&](const Bucket& bucket) {
        for (const DhtNode& node : bucket.nodes) {
            if (include_stale || node.Good()) {
                found.push_back(node);
            }
        }
    };
    collect(*home);
    const auto at = static_cast<size_t>(home - buckets_.begin());
    size_t below = at;
    size_t above = at + 1;
    while (found.size() < kClosestCount && (below > 0 || above < buckets_.size())) {
        if (below > 0) {
            collect(buckets_[--below]);
        }
        if (above < buckets_.size()) {
            collect(buckets_[above++]);
        }
    }
    std::stable_sort(found.begin(), found.end(), [&target](const DhtNode& a, const DhtNode& b) {
        return CloserTo(target, a.id, b.id);
    });
    size_t appended = 0;
    for (const DhtNode& node : found) {
        if (appended >= kClosestCount) {
            break;
        }
        if (std::none_of(out.begin(), out.end(),
                         [&node](const DhtNode& known) { return known.SameAs(node); })) {
            out.push_back(node);
            ++appended;
        }
    }
    return !out.empty();
}

int32_t DhtRoutingTable::RecordFailure(const DhtNode& node) {
    QTMutexLock hold(lock_);
    Bucket* bucket = BucketOf(node.id);
    if (bucket != nullptr) {
        for (DhtNode& known : bucket->nodes) {
            if (known.SameAs(node)) {
                if (++known.failures > kStaleAfterFailures) {
                    known.stale = true;
                }
                return known.failures;
            }
        }
    }
    return 3;
}

void DhtRoutingTable::ReplaceNode(const DhtNode& old_node, const DhtNode& new_node, int64_t now) {
    QTMutexLock hold(lock_);
    ReplaceLocked(old_node, new_node, now);
}

void DhtRoutingTable::ReplaceLocked(const DhtNode& old_node, const DhtNode& new_node, int64_t now) {
    Bucket* bucket = BucketOf(old_node.id);
    if (bucket != nullptr) {
        auto& nodes = bucket->nodes;
        const auto old_entry =
            std::find_if(nodes.begin(), nodes.end(),
                         [&old_node](const DhtNode& known) { return known.SameAs(old_node); });
        if (old_entry != nodes.end()) {
            nodes.erase(old_entry);
            // The newcomer's id decides its bucket; it is this one only when it falls in range.
            if (new_node.Valid() && new_node.id != own_id_ && bucket->Covers(new_node.id)) {
                nodes.push_back(new_node);
                bucket->changed = now;
            } else if (new_node.Valid()) {
                InsertLocked(new_node, true, false, now);
            }
            return;
        }
    }
    InsertLocked(new_node, true, false, now);
}

size_t DhtRoutingTable::NodeCount() {
    QTMutexLock hold(lock_);
    size_t count = 0;
    for (const Bucket& bucket : buckets_) {
        count += bucket.nodes.size();
    }
    return count;
}

size_t DhtRoutingTable::GoodNodeCount() {
    QTMutexLock hold(lock_);
    size_t count = 0;
    for (const Bucket& bucket : buckets_) {
        count += static_cast<size_t>(std::count_if(bucket.nodes.begin(), bucket.nodes.end(),
                                                   [](const DhtNode& n) { return n.Good(); }));
    }
    return count;
}

std::optional<DhtNode> DhtRoutingTable::OldestGoodNode() {
    QTMutexLock hold(lock_);
    std::optional<DhtNode> kept;
    for (const Bucket& bucket : buckets_) {
        for (const DhtNode& node : bucket.nodes) {
            if (!kept || (kept->stale && node.Good()) ||
                (kept->Good() && node.Good() && node.last_seen < kept->last_seen)) {
                kept = node;
            }
        }
    }
    return kept;
}

std::vector<DhtRoutingTable::BucketRange> DhtRoutingTable::BucketRanges() {
    QTMutexLock hold(lock_);
    std::vector<BucketRange> ranges;
    ranges.reserve(buckets_.size());
    for (const Bucket& bucket : buckets_) {
        ranges.push_back(BucketRange{bucket.start, bucket.end, bucket.changed});
    }
    return ranges;
}

std::string DhtRoutingTable::SaveTable() {
    QTMutexLock hold(lock_);
    std::string records;
    for (const Bucket& bucket : buckets_) {
        for (const DhtNode& node : bucket.nodes) {
            node.AppendCompact(records);
        }
    }
    std::string body = "d2:id20:";
    body.append(IdBytes(own_id_));
    body.append("5:table");
    body.append(std::to_string(records.size()));
    body.push_back(':');
    body.append(records);
    body.push_back('e');
    return body;
}

bool DhtRoutingTable::LoadTable(std::span<const uint8_t> body, int64_t now) {
    if (body.empty() || body.size() > kMaxFileBytes) {
        return false;
    }
    const std::unique_ptr<QElement> root = ParseValue(body);
    if (!root || root->Kind() != ElementKind::kDictionary) {
        return false;
    }
    const QElement* id = root->FindValue("id");
    if (id == nullptr || id->Kind() != ElementKind::kString || id->Bytes().size() != 20) {
        return false;
    }
    QTMutexLock hold(lock_);
    own_id_ = IdFromBytes(id->Bytes());
    buckets_.clear();
    const QElement* table = root->FindValue("table");
    if (table != nullptr && table->Kind() == ElementKind::kString) {
        std::vector<DhtNode> nodes;
        DhtNode::ReadCompactList(table->Bytes(), kMaxBuckets * kBucketSize, nodes);
        for (const DhtNode& node : nodes) {
            InsertLocked(node, false, true, now);
        }
    }
    BucketOf(own_id_);  // an empty file still leaves the table with its first bucket
    return true;
}

void DhtRoutingTable::RotateSecrets(int64_t now) {
    QTMutexLock hold(lock_);
    if (tokens_.Rotate(now)) {
        std::erase_if(received_tokens_,
                      [now](const auto& entry) { return now - entry.second.second > kTokenLife; });
    }
}

std::string DhtRoutingTable::TokenFor(uint32_t ip, uint16_t port) {
    QTMutexLock hold(lock_);
    return tokens_.TokenFor(ip, port);
}

bool DhtRoutingTable::IsValidToken(std::string_view token, uint32_t ip, uint16_t port) {
    QTMutexLock hold(lock_);
    return tokens_.IsValid(token, ip, port);
}

void DhtRoutingTable::StoreReceivedToken(const DhtNode& node, std::string token, int64_t now) {
    QTMutexLock hold(lock_);
    const NodeKey key{node.id, node.ip};
    if (!received_tokens_.contains(key) && received_tokens_.size() >= kMaxReceivedTokens) {
        const auto oldest = std::min_element(
            received_tokens_.begin(), received_tokens_.end(),
            [](const auto& a, const auto& b) { return a.second.second < b.second.second; });
        received_tokens_.erase(oldest);
    }
    received_tokens_[key] = {std::move(token), now};
}

std::optional<std::string> DhtRoutingTable::ReceivedToken(const DhtNode& node, int64_t now) {
    QTMutexLock hold(lock_);
    const auto found = received_tokens_.find(NodeKey{node.id, node.ip});
    if (found == received_tokens_.end() || now - found->second.second > kTokenLife) {
        return std::nullopt;
    }
    return found->second.first;
}

}  // namespace kf
