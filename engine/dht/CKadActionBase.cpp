#include "engine/dht/CKadActionBase.h"

#include <algorithm>

namespace kf {

CKadActionBase::CKadActionBase(LookupHost& host, const NodeId& target, std::string method,
                               bool stop_at_target)
    : host_(host), target_(target), method_(std::move(method)), stop_at_target_(stop_at_target) {}

bool CKadActionBase::IsStarted() {
    QTMutexLock hold(lock_);
    return start_time_ != 0;
}

bool CKadActionBase::IsDone() {
    QTMutexLock hold(lock_);
    return done_time_ != 0;
}

int64_t CKadActionBase::DoneTime() {
    QTMutexLock hold(lock_);
    return done_time_;
}

size_t CKadActionBase::CandidateCount() {
    QTMutexLock hold(lock_);
    return candidates_.size();
}

void CKadActionBase::ClearRound() {
    in_flight_ = 0;
    outstanding_.clear();
    addresses_.clear();
    queried_.clear();
    responded_.clear();
}

void CKadActionBase::Reset() {
    QTMutexLock hold(lock_);
    done_time_ = 0;
    start_time_ = 0;
    ClearRound();
    candidates_.clear();
}

void CKadActionBase::Start() {
    QTMutexLock hold(lock_);
    Reset();
    if (!IsZeroId(target_)) {
        Seed(host_.SeedNodes(target_));
    }
}

void CKadActionBase::Seed(std::vector<DhtNode> nodes) {
    QTMutexLock hold(lock_);
    // Started even when there is nobody to ask, so that it finishes and is run again later.
    start_time_ = host_.Now();
    if (nodes.empty()) {
        Finish();
        return;
    }
    const NodeId own = host_.OwnId();
    size_t added = 0;
    for (const DhtNode& node : nodes) {
        if (node.id != own && !IsCandidate(node)) {
            AddCandidate(node);
            ++added;
        }
    }
    if (added == 0) {
        Finish();
    }
}

void CKadActionBase::Finish() {
    QTMutexLock hold(lock_);
    done_time_ = host_.Now();
    ClearRound();
}

void CKadActionBase::SortByDistance(std::vector<DhtNode>& nodes) const {
    std::stable_sort(nodes.begin(), nodes.end(), [this](const DhtNode& a, const DhtNode& b) {
        return CloserTo(target_, a.id, b.id);
    });
}

bool CKadActionBase::IsCandidate(const DhtNode& node) const {
    return std::any_of(candidates_.begin(), candidates_.end(),
                       [&node](const DhtNode& known) { return known.SameAs(node); });
}

void CKadActionBase::AddCandidate(const DhtNode& node) {
    candidates_.push_back(node);
    if (candidates_.size() > kMaxCandidates) {
        SortByDistance(candidates_);
        candidates_.resize(kMaxCandidates);
    }
}

bool CKadActionBase::Claim(const DhtNode& node) {
    if (in_flight_ >= kMaxInFlight || node.id == host_.OwnId() ||
        addresses_.contains({node.ip, node.port}) ||
        std::any_of(queried_.begin(), queried_.end(),
                    [&node](const DhtNode& known) { return known.SameAs(node); })) {
        return false;
    }
    queried_.push_back(node);
    addresses_.insert({node.ip, node.port});
    return true;
}

bool CKadActionBase::SendNew(const DhtNode& node, std::string_view method,
                             const std::string& args) {
    std::string transaction = host_.SendQuery(node, method, args, {});
    if (transaction.empty()) {
        return false;
    }
    outstanding_[std::move(transaction)] =
        Outstanding{node, host_.Now(), false, std::string(method), args};
    return true;
}

bool CKadActionBase::WalkCandidates() {
    if (in_flight_ >= kMaxInFlight) {
        return true;
    }
    SortByDistance(candidates_);
    // Sending may not change the list under the walk, so it walks a copy.
    const std::vector<DhtNode> walk = candidates_;
    int32_t counted = 0;
    for (const DhtNode& node : walk) {
        if (++counted > 15 && !responded_.empty()) {
            break;
        }
        if (stop_at_target_ && node.id == target_) {
            Finish();
            return false;
        }
        if (Claim(node) && SendLookupQuery(node)) {
            ++in_flight_;
        }
    }
    return true;
}

void CKadActionBase::ApplyTimeLimit() {
    if (in_flight_ > 0 && time_limit_ > 0 && host_.Now() - start_time_ < time_limit_) {
        return;
    }
    Finish();
}

void CKadActionBase::Step() {
    QTMutexLock hold(lock_);
    if (WalkCandidates()) {
        ApplyTimeLimit();
    }
}

void CKadActionBase::Tick(std::vector<DhtNode>& failed) {
    QTMutexLock hold(lock_);
    if (start_time_ == 0 || done_time_ != 0) {
        return;
    }
    const int64_t now = host_.Now();
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
        Outstanding& query = it->second;
        const int64_t age = now - query.sent;
        if (age < kFailAfter) {
            if (age > kResendAfter && !query.resent) {
                query.resent = true;
                host_.SendQuery(query.node, query.method, query.args, it->first);
            }
            ++it;
            continue;
        }
        if (std::none_of(failed.begin(), failed.end(),
                         [&query](const DhtNode& known) { return known.SameAs(query.node); })) {
            failed.push_back(query.node);
        }
        addresses_.erase({query.node.ip, query.node.port});
        it = outstanding_.erase(it);
    }
    in_flight_ = static_cast<int32_t>(outstanding_.size());
    Step();
}

bool CKadActionBase::HandleReply(const KrpcMessage& reply, const DhtNode& sender) {
    QTMutexLock hold(lock_);
    if (start_time_ == 0 || done_time_ != 0) {
        return false;
    }
    const auto it = outstanding_.find(reply.transaction);
    if (it == outstanding_.end() || !it->second.node.SameAs(sender)) {
        return false;
    }
    addresses_.erase({sender.ip, sender.port});
    outstanding_.erase(it);
    in_flight_ = std::max(in_flight_ - 1, 0);
    if (done_time_ == 0 &&
        std::none_of(responded_.begin(), responded_.end(),
                     [&sender](const DhtNode& known) { return known.SameAs(sender); })) {
        responded_.push_back(sender);
        if (reply.token) {
            host_.StoreReceivedToken(sender, *reply.token);
        }
        ProcessReply(sender, reply);
    }
    return true;
}

}  // namespace kf
