// CKademlia: life cycle, the inbound queue, the answers, and the routing of replies and pings.

#include "engine/dht/CKademlia.h"

#include <sys/random.h>

#include <algorithm>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLog.h"
#include "engine/dht/KrpcBuilder.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/os/AtomicFile.h"
#include "engine/os/File.h"
#include "engine/os/Tick.h"
#include "engine/udp/QUInternalServer.h"

namespace kf {
namespace {

NodeId RandomId() {
    NodeId id{};
    size_t filled = 0;
    for (int attempt = 0; attempt < 8 && filled < id.size(); ++attempt) {
        const ssize_t got = ::getrandom(id.data() + filled, id.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        }
    }
    // The clock tells two nodes apart even without a random source.
    const uint64_t tick = TickMilliseconds();
    std::memcpy(id.data() + 12, &tick, sizeof(tick));
    return id;
}

uint64_t RandomCounter() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) {
        value = TickMilliseconds();
    }
    return value;
}

}  // namespace

CKademlia& CKademlia::Instance() {
    static CKademlia service;
    return service;
}

CKademlia::CKademlia(Sender send)
    : send_(std::move(send)), table_(RandomId()), transaction_counter_(RandomCounter()) {
    if (!send_) {
        send_ = [](std::span<const uint8_t> bytes, uint32_t ip, uint16_t port) {
            return QUInternalServer::Engine().SendDatagram(bytes, ip, port);
        };
    }
}

CKademlia::~CKademlia() {
    StopThread();
}

void CKademlia::SetBootstrap(std::vector<std::string> bootstrap) {
    QTMutexLock hold(lock_);
    bootstrap_ = std::move(bootstrap);
}

void CKademlia::SetNodeFile(std::string node_file) {
    QTMutexLock hold(lock_);
    node_file_ = std::move(node_file);
}

bool CKademlia::Start() {
    if (QThread::IsRunning() && !StopRequestedNow()) {
        return true;
    }
    // A thread still on its way out (asked to stop with the last task) is waited for first.
    StopThread();
    return StartThread("Kademlia");
}

void CKademlia::Stop() {
    if (QThread::IsRunning()) {
        StopThread();
        EngineLogWrite("Kademlia Thread Stopped.. ", LogChannel::kApplication);
    }
}

CKademlia::Counters CKademlia::GetCounters() {
    return Counters{nodes_.load(),    good_nodes_.load(),   messages_in_.load(),
                    bytes_in_.load(), messages_out_.load(), bytes_out_.load()};
}

bool CKademlia::IsBootstrapHost(const std::string& host_and_port) {
    QTMutexLock hold(lock_);
    return std::find(bootstrap_.begin(), bootstrap_.end(), host_and_port) != bootstrap_.end();
}

void CKademlia::Inbound(std::span<const uint8_t> datagram, uint32_t from_ip, int32_t from_port) {
    if (!running_.load() || from_port <= 0 || from_port > 65535) {
        return;
    }
    {
        QTMutexLock hold(lock_);
        if (overloaded_) {
            return;
        }
    }
    std::optional<KrpcMessage> message = KrpcMessage::Parse(datagram);
    QTMutexLock hold(lock_);
    messages_in_.fetch_add(1);
    bytes_in_.fetch_add(static_cast<int64_t>(datagram.size()));
    if (!message) {
        return;
    }
    inbound_.push_back(
        QueuedMessage{std::move(*message), from_ip, static_cast<uint16_t>(from_port)});
    overloaded_ = inbound_.size() >= kMaxInbound;
    // A lookup's next round waits for the replies to this one, so they are taken at once rather
    // than at the next 200 ms pass.
    WakeUp();
}

void CKademlia::Run() {
    {
        QTMutexLock hold(lock_);
        table_.Clear(RandomId());
        last_send_ = last_save_ = Now();
        last_self_lookup_ = last_refresh_ = last_periodic_ = -1;
    }
    LoadNodeFile();
    running_ = true;
    if (table_.NodeCount() < kMinNodes) {
        Bootstrap();
    }
    while (!IsStopRequested()) {
        ProcessInbound();
        MaintenancePass();
        PeriodicPass();
        SleepMilliseconds(kLoopMs);
    }
    running_ = false;
    SaveNodeFile();
    pings_.clear();
    questionable_.clear();
    QTMutexLock hold(lock_);
    own_lookups_.clear();
    lookups_.clear();
    bootstrap_pings_.clear();
    inbound_.clear();
    to_consider_.clear();
    overloaded_ = false;
    store_ = DhtPeerStore();
    nodes_ = good_nodes_ = 0;
}

void CKademlia::Bootstrap() {
    std::vector<std::string> entries;
    {
        QTMutexLock hold(lock_);
        entries = bootstrap_;
    }
    for (const std::string& entry : entries) {
        const size_t colon = entry.rfind(':');
        if (colon == std::string::npos) {
            continue;
        }
        const int64_t port = std::atoll(entry.c_str() + colon + 1);
        const uint32_t ip = ResolveHost(std::string_view(entry).substr(0, colon));
        if (IsValidAddress(ip) && port >= 1 && port <= 65535) {
            PingAddress(ip, static_cast<uint16_t>(port));
        }
    }
}

void CKademlia::ProcessInbound() {
    std::deque<QueuedMessage> taken;
    {
        QTMutexLock hold(lock_);
        taken.swap(inbound_);
        overloaded_ = false;
    }
    for (const QueuedMessage& message : taken) {
        HandleMessage(message);
    }
}

void CKademlia::HandleMessage(const QueuedMessage& queued) {
    const KrpcMessage& message = queued.message;
    DhtNode sender;
    sender.id = message.sender;
    sender.ip = queued.ip;
    sender.port = queued.port;
    if (message.kind == KrpcMessage::Kind::kReply) {
        RouteReply(message, sender);
        return;
    }
    std::string answer;
    {
        QTMutexLock hold(lock_);
        answer = responder_.Answer(message, queued.ip, queued.port, Now());
    }
    if (!answer.empty()) {
        SendBytes(answer, queued.ip, queued.port);
    }
    table_.InsertNode(sender, false, false, Now());
}

void CKademlia::RouteReply(const KrpcMessage& reply, const DhtNode& sender) {
    bool bootstrap_answer = false;
    std::vector<std::shared_ptr<CKadActionBase>> running;
    {
        QTMutexLock hold(lock_);
        const auto boot = bootstrap_pings_.find(reply.transaction);
        if (boot != bootstrap_pings_.end() && boot->second.first.ip == sender.ip &&
            boot->second.first.port == sender.port) {
            bootstrap_pings_.erase(boot);
            bootstrap_answer = true;
        } else {
            running = lookups_;
        }
    }
    if (bootstrap_answer) {
        Consider(sender, true);
        return;
    }
    const auto ping = questionable_.find(reply.transaction);
    if (ping != questionable_.end() && ping->second.ip == sender.ip) {
        const DhtNode recorded = ping->second;
        questionable_.erase(ping);
        if (recorded.SameAs(sender)) {
            NodeAnswered(sender);
        } else {
            NodeFailed(recorded);
            Consider(sender, true);
        }
        return;
    }
    for (const std::shared_ptr<CKadActionBase>& lookup : running) {
        if (lookup->HandleReply(reply, sender)) {
            table_.InsertNode(sender, true, false, Now());
            return;
        }
    }
}

void CKademlia::Ping(const DhtNode& node) {
    const std::string transaction = SendQuery(node, "ping", {}, {});
    if (transaction.empty()) {
        return;
    }
    if (IsZeroId(node.id)) {
        QTMutexLock hold(lock_);
        bootstrap_pings_[transaction] = {node, Now()};
        return;
    }
    pings_.try_emplace(NodeKey{node.id, node.ip}, PingEntry{node, Now(), {}});
    questionable_[transaction] = node;
}

void CKademlia::PingAddress(uint32_t ip, uint16_t port) {
    if (!IsValidAddress(ip) || port == 0 || !running_.load()) {
        return;
    }
    DhtNode node;
    node.ip = ip;
    node.port = port;
    Ping(node);
}

void CKademlia::Consider(const DhtNode& node, bool seen) {
    const std::optional<DhtNode> questionable = table_.InsertNode(node, seen, false, Now());
    if (!questionable || !questionable->Valid() || questionable->SameAs(node)) {
        return;
    }
    const NodeKey key{questionable->id, questionable->ip};
    if (!pings_.contains(key)) {
        Ping(*questionable);
    }
    const auto entry = pings_.find(key);
    if (entry == pings_.end() || entry->second.waiting.size() >= kMaxWaiting) {
        return;
    }
    auto& waiting = entry->second.waiting;
    if (std::none_of(waiting.begin(), waiting.end(),
                     [&node](const DhtNode& known) { return known.SameAs(node); })) {
        DhtNode copy = node;
        if (seen) {
            copy.last_seen = Now();
            copy.failures = 0;
            copy.stale = false;
        }
        waiting.push_back(copy);
    }
}

void CKademlia::NodeAnswered(const DhtNode& node) {
    table_.InsertNode(node, true, false, Now());
    const auto entry = pings_.find(NodeKey{node.id, node.ip});
    if (entry == pings_.end()) {
        return;
    }
    const std::vector<DhtNode> waiting = std::move(entry->second.waiting);
    pings_.erase(entry);
    for (const DhtNode& newcomer : waiting) {
        Consider(newcomer, false);
    }
}

void CKademlia::NodeFailed(const DhtNode& node) {
    const auto entry = pings_.find(NodeKey{node.id, node.ip});
    if (entry == pings_.end()) {
        table_.RecordFailure(node);
        return;
    }
    std::vector<DhtNode> waiting = std::move(entry->second.waiting);
    pings_.erase(entry);
    if (table_.RecordFailure(node) < 2) {
        for (const DhtNode& newcomer : waiting) {
            Consider(newcomer, false);
        }
        return;
    }
    if (waiting.empty()) {
        return;
    }
    table_.ReplaceNode(node, waiting.front(), Now());
    for (size_t i = 1; i < waiting.size(); ++i) {
        Consider(waiting[i], false);
    }
}

bool CKademlia::SendBytes(const std::string& bytes, uint32_t ip, uint16_t port) {
    const bool sent = send_(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), ip,
        port);
    if (sent) {
        messages_out_.fetch_add(1);
        bytes_out_.fetch_add(static_cast<int64_t>(bytes.size()));
        last_send_ = Now();
    }
    return sent;
}

std::string CKademlia::NextTransaction() {
    const uint64_t value = transaction_counter_.fetch_add(1) + 1;
    std::string transaction(8, '\0');
    for (size_t i = 0; i < 8; ++i) {
        transaction[i] = static_cast<char>(value >> (8 * i));
    }
    return transaction;
}

int64_t CKademlia::Now() {
    return NowSeconds();
}

NodeId CKademlia::OwnId() {
    return table_.OwnId();
}

std::vector<DhtNode> CKademlia::SeedNodes(const NodeId& target) {
    std::vector<DhtNode> nodes;
    table_.FindClosest(target, nodes, false);
    table_.FindClosest(target, nodes, true);
    return nodes;
}

void CKademlia::QueueNodeForTable(const DhtNode& node) {
    QTMutexLock hold(lock_);
    if (std::none_of(to_consider_.begin(), to_consider_.end(),
                     [&node](const DhtNode& known) { return known.SameAs(node); })) {
        to_consider_.push_back(node);
    }
}

void CKademlia::OfferNode(const DhtNode& node) {
    table_.InsertNode(node, false, false, Now());
}

std::string CKademlia::SendQuery(const DhtNode& node, std::string_view method,
                                 std::string_view args, std::string_view transaction) {
    const std::string id = transaction.empty() ? NextTransaction() : std::string(transaction);
    const std::string bytes = KrpcBuilder::Query(OwnId(), method, args, id);
    if (bytes.empty() || !SendBytes(bytes, node.ip, node.port)) {
        return {};
    }
    return id;
}

void CKademlia::StoreReceivedToken(const DhtNode& node, std::string token) {
    table_.StoreReceivedToken(node, std::move(token), Now());
}

std::optional<std::string> CKademlia::ReceivedToken(const DhtNode& node) {
    return table_.ReceivedToken(node, Now());
}

void CKademlia::CopyLocalPeers(const NodeId& info_hash, std::string& out) {
    QTMutexLock hold(lock_);
    store_.CopyPeers(info_hash, Now(), out);
}

}  // namespace kf
