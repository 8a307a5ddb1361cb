// CKademlia: the lookups it runs, the timed passes of its loop, and the node file.

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/dht/CKadActionFind.h"
#include "engine/dht/CKademlia.h"
#include "engine/os/AtomicFile.h"
#include "engine/os/FileBytes.h"
#include "engine/os/FileSystem.h"
#include "engine/os/Tick.h"

namespace kf {
namespace {

constexpr int64_t kPeriodicEvery = 5;
constexpr int64_t kSelfLookupEvery = 720;
constexpr int64_t kRefreshEvery = 180;
constexpr int64_t kBucketFreshFor = 900;
constexpr int64_t kQuietBeforePing = 50;
constexpr int64_t kSaveEvery = 900;
constexpr size_t kFewGoodNodes = 9;

}  // namespace

void CKademlia::AddLookup(const std::shared_ptr<CKadActionBase>& lookup) {
    // Started before it is listed and without the service lock: starting takes the lookup's
    // lock, which comes first.
    if (!lookup->IsStarted()) {
        lookup->Start();
    }
    QTMutexLock hold(lock_);
    if (std::find(lookups_.begin(), lookups_.end(), lookup) == lookups_.end()) {
        lookups_.push_back(lookup);
    }
}

void CKademlia::RemoveLookup(const std::shared_ptr<CKadActionBase>& lookup) {
    QTMutexLock hold(lock_);
    std::erase(lookups_, lookup);
    std::erase(own_lookups_, lookup);
}

void CKademlia::StartOwnLookup(const NodeId& target) {
    auto lookup = std::make_shared<CKadActionFind>(Host(), target);
    {
        QTMutexLock hold(lock_);
        own_lookups_.push_back(lookup);
    }
    AddLookup(lookup);
}

void CKademlia::MaintenancePass() {
    const int64_t now = Now();
    std::vector<DhtNode> failed;
    for (auto it = pings_.begin(); it != pings_.end(); ++it) {
        if (now - it->second.sent >= kPingTimeout) {
            failed.push_back(it->second.node);
        }
    }
    for (const DhtNode& node : failed) {
        std::erase_if(questionable_,
                      [&node](const auto& entry) { return entry.second.SameAs(node); });
    }
    // A lookup's lock comes before the service lock: whether one is done is asked outside it.
    std::vector<std::shared_ptr<CKadActionBase>> own;
    {
        QTMutexLock hold(lock_);
        own = own_lookups_;
    }
    std::erase_if(own,
                  [](const std::shared_ptr<CKadActionBase>& lookup) { return !lookup->IsDone(); });
    std::vector<std::shared_ptr<CKadActionBase>> running;
    std::vector<DhtNode> consider;
    {
        QTMutexLock hold(lock_);
        std::erase_if(bootstrap_pings_, [now](const auto& entry) {
            return now - entry.second.second >= kPingTimeout;
        });
        for (const std::shared_ptr<CKadActionBase>& done : own) {
            std::erase(lookups_, done);
            std::erase(own_lookups_, done);
        }
        running = lookups_;
        consider.swap(to_consider_);
    }
    for (const std::shared_ptr<CKadActionBase>& lookup : running) {
        lookup->Tick(failed);
    }
    for (const DhtNode& node : failed) {
        NodeFailed(node);
    }
    for (const DhtNode& node : consider) {
        Consider(node, false);
    }
}

void CKademlia::PeriodicPass() {
    const int64_t now = Now();
    if (last_periodic_ >= 0 && now - last_periodic_ < kPeriodicEvery) {
        return;
    }
    last_periodic_ = now;
    const size_t nodes = table_.NodeCount();
    const size_t good = table_.GoodNodeCount();
    nodes_ = static_cast<int64_t>(nodes);
    good_nodes_ = static_cast<int64_t>(good);
    if (nodes < kMinNodes) {
        Bootstrap();
    }
    size_t own_lookups = 0;
    int64_t last_send = 0;
    {
        QTMutexLock hold(lock_);
        store_.Prune(now);
        own_lookups = own_lookups_.size();
        last_send = last_send_;
    }
    table_.RotateSecrets(now);
    // Neither walk can start from an empty table: they wait for the bootstrap's first answers.
    if (nodes > 0 && (last_self_lookup_ < 0 || now - last_self_lookup_ >= kSelfLookupEvery)) {
        last_self_lookup_ = now;
        StartOwnLookup(AddIds(table_.OwnId(), IdFromNumber(TickMilliseconds() % 268435455)));
    }
    const bool forced = good <= kFewGoodNodes && own_lookups <= 1;
    if (nodes > 0 && (forced || last_refresh_ < 0 || now - last_refresh_ >= kRefreshEvery)) {
        const bool refreshed_before = last_refresh_ >= 0;
        last_refresh_ = now;
        for (const DhtRoutingTable::BucketRange& range : table_.BucketRanges()) {
            if (!forced && refreshed_before && now - range.changed < kBucketFreshFor) {
                continue;
            }
            StartOwnLookup(AddIds(HalveId(range.start), HalveId(range.end)));
        }
    }
    if (now - last_send > kQuietBeforePing) {
        if (const std::optional<DhtNode> oldest = table_.OldestGoodNode()) {
            Ping(*oldest);
        }
    }
    if (now - last_save_ > kSaveEvery) {
        last_save_ = now;
        SaveNodeFile();
    }
}

void CKademlia::LoadNodeFile() {
    std::string path;
    {
        QTMutexLock hold(lock_);
        path = node_file_;
    }
    if (path.empty()) {
        return;
    }
    const std::optional<std::string> body =
        ReadFileBytes(path, static_cast<int64_t>(DhtRoutingTable::kMaxFileBytes));
    if (body && !body->empty()) {
        table_.LoadTable(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(body->data()), body->size()),
            Now());
    }
}

void CKademlia::SaveNodeFile() {
    std::string path;
    {
        QTMutexLock hold(lock_);
        path = node_file_;
    }
    if (path.empty()) {
        return;
    }
    const std::string body = table_.SaveTable();
    os::AtomicFile file(os::FileSystem::Default(), path);
    // A failed write leaves the previous file; the next start then begins from it.
    if (file.Open() && file.Append(std::span<const uint8_t>(
                           reinterpret_cast<const uint8_t*>(body.data()), body.size()))) {
        file.Commit();
    }
}

}  // namespace kf
