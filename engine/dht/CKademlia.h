#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/base/QThread.h"
#include "engine/dht/CKadActionBase.h"
#include "engine/dht/DhtPeerStore.h"
#include "engine/dht/DhtResponder.h"
#include "engine/dht/DhtRoutingTable.h"
#include "engine/dht/KrpcMessage.h"
#include "engine/dht/LookupHost.h"
#include "engine/udp/DhtInbox.h"

namespace kf {

// The engine's DHT node: thread "Kademlia" with its 200 ms loop, woken early by datagrams. It owns
// the routing table, the peers announced to it and the running lookups; answers other nodes, routes
// replies to lookups and pings, keeps the table alive (pings of questionable nodes, self-lookup,
// bucket refresh), bootstraps from the configured nodes and keeps the node file.
//
// Owner: one instance per process (Instance()); the engine core starts and stops it. Threads: the
// UDP endpoint thread hands datagrams in (Inbound: parsed there, queued for the DHT thread); task
// threads add, remove and read their lookups and ask for pings; everything else runs on the DHT
// thread. Locks: a lookup's, then the service lock, then the routing table's; the endpoint lock
// (taken by every send) is never taken under the service lock, because the endpoint hands datagrams
// in while it holds its own.
//
// Limits: kMaxInbound queued messages (more are dropped until the thread takes the queue); the
// responder's rate limits; the table's and lookups' own bounds.
class CKademlia : public QThread, public DhtInbox, private LookupHost {
  public:
    static constexpr size_t kMaxInbound = 2048;
    static constexpr int64_t kLoopMs = 200;
    static constexpr size_t kMaxWaiting = 10;
    static constexpr int64_t kPingTimeout = 10;
    static constexpr size_t kMinNodes = 10;
    // Sends one datagram (ip network order, port host order); true when it went out.
    using Sender = std::function<bool(std::span<const uint8_t>, uint32_t, uint16_t)>;

    struct Counters {
        int64_t nodes = 0;
        int64_t good_nodes = 0;
        int64_t messages_in = 0;
        int64_t bytes_in = 0;
        int64_t messages_out = 0;
        int64_t bytes_out = 0;
    };

    static CKademlia& Instance();
    // `send` null: the engine's UDP endpoint.
    explicit CKademlia(Sender send = nullptr);
    ~CKademlia() override;

    // Bootstrap entries are "host:port", used whenever the table runs low. The node file (empty:
    // none) is read when the thread starts and written every 15 minutes and when it stops.
    void SetBootstrap(std::vector<std::string> bootstrap);
    void SetNodeFile(std::string node_file);
    bool Start();
    void Stop();
    Counters GetCounters();
    // Nodes in the routing table now.
    size_t NodeCount() { return table_.NodeCount(); }
    bool IsBootstrapHost(const std::string& host_and_port);

    // DhtInbox.
    void Inbound(std::span<const uint8_t> datagram, uint32_t from_ip, int32_t from_port) override;
    bool IsRunning() const override { return running_.load(); }

    // Lookups of tasks (and of the service itself). A lookup stays alive while someone holds it.
    void AddLookup(const std::shared_ptr<CKadActionBase>& lookup);
    void RemoveLookup(const std::shared_ptr<CKadActionBase>& lookup);
    LookupHost& Host() { return *this; }
    // Pings an address whose node id is not known (bootstrap, node:// entries of torrents).
    void PingAddress(uint32_t ip, uint16_t port);

  private:
    struct QueuedMessage {
        KrpcMessage message;
        uint32_t ip = 0;
        uint16_t port = 0;
    };
    struct PingEntry {
        DhtNode node;
        int64_t sent = 0;
        std::vector<DhtNode> waiting;
    };
    using NodeKey = std::pair<NodeId, uint32_t>;

    void Run() override;
    void Bootstrap();
    void ProcessInbound();
    void HandleMessage(const QueuedMessage& inbound);
    void RouteReply(const KrpcMessage& reply, const DhtNode& sender);
    void Ping(const DhtNode& node);
    void Consider(const DhtNode& node, bool seen);
    void NodeAnswered(const DhtNode& node);
    void NodeFailed(const DhtNode& node);
    void MaintenancePass();
    void PeriodicPass();
    void StartOwnLookup(const NodeId& target);
    void LoadNodeFile();
    void SaveNodeFile();
    bool SendBytes(const std::string& bytes, uint32_t ip, uint16_t port);
    std::string NextTransaction();

    // LookupHost.
    int64_t Now() override;
    NodeId OwnId() override;
    std::vector<DhtNode> SeedNodes(const NodeId& target) override;
    void QueueNodeForTable(const DhtNode& node) override;
    void OfferNode(const DhtNode& node) override;
    std::string SendQuery(const DhtNode& node, std::string_view method, std::string_view args,
                          std::string_view transaction) override;
    void StoreReceivedToken(const DhtNode& node, std::string token) override;
    std::optional<std::string> ReceivedToken(const DhtNode& node) override;
    void CopyLocalPeers(const NodeId& info_hash, std::string& out) override;

    Sender send_;
    QTMutex lock_;
    std::vector<std::string> bootstrap_;
    std::string node_file_;
    // The table has its own lock; the store and the responder are used under the service lock.
    DhtRoutingTable table_;
    DhtPeerStore store_;
    DhtResponder responder_{table_, store_};
    std::vector<DhtNode> to_consider_;
    std::vector<std::shared_ptr<CKadActionBase>> own_lookups_;
    std::vector<std::shared_ptr<CKadActionBase>> lookups_;
    // Pings of questionable nodes: the DHT thread's alone, so they need no lock.
    std::map<NodeKey, PingEntry> pings_;
    std::map<std::string, DhtNode> questionable_;
    // Pings of addresses, also asked for by task threads: under the service lock.
    std::map<std::string, std::pair<DhtNode, int64_t>> bootstrap_pings_;
    std::deque<QueuedMessage> inbound_;
    bool overloaded_ = false;
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> transaction_counter_;
    std::atomic<int64_t> messages_in_{0};
    std::atomic<int64_t> bytes_in_{0};
    std::atomic<int64_t> messages_out_{0};
    std::atomic<int64_t> bytes_out_{0};
    std::atomic<int64_t> nodes_{0};
    std::atomic<int64_t> good_nodes_{0};
    std::atomic<int64_t> last_send_{0};
    int64_t last_self_lookup_ = -1;
    int64_t last_refresh_ = -1;
    int64_t last_save_ = 0;
    int64_t last_periodic_ = -1;
};

}  // namespace kf
