#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/net/CIPFilter.h"
#include "engine/net/QProxyConfig.h"
#include "engine/peers/TPeerObject.h"
#include "engine/task/BtIdentity.h"
#include "engine/task/CandidateList.h"
#include "engine/task/SwarmRegistry.h"
#include "engine/task/TBaseWork.h"
#include "engine/task/TaskDhtLookup.h"

namespace kf {

// The peer side of a task: the candidate list of known addresses, the live peer objects and the
// idle ones kept for reuse, the connection limits, the openers and droppers, the peer turns of the
// task loop, and the mirror list. Everything but the limits runs on the task's worker thread.
class TWorkWithPeers : public TBaseWork, public IncomingClaimer {
  public:
    static constexpr int32_t kDefaultSourceConnectionLimit = 49;
    static constexpr int32_t kDefaultPeerSlotTarget = 6;
    // A peer faster than this (bytes per second) is served on every pass of the loop.
    static constexpr int32_t kFastPeerRate = 28671;

    // `swarm`: the engine-wide registry this task registers in and takes incoming connections
    // from; it outlives the task.
    explicit TWorkWithPeers(SwarmRegistry& swarm);
    ~TWorkWithPeers() override;

    // Stores both limits under the task lock.
    void SetConnectionLimits(int32_t source_connections, int32_t bt_peers);
    int32_t SourceConnectionLimit();
    int32_t BtPeerLimit();
    // The proxy for this task's BT peer connections; none means direct.
    // The task's own proxy for its server and BT connections (none: the engine-wide one).
    void SetPeerProxy(std::optional<QProxyConfig> proxy);
    std::optional<QProxyConfig> PeerProxy();
    // Host names that do not resolve here may be left to the proxy the task's servers use.
    bool ProxyResolvesNames();

    void Reset(bool full, bool keep) override;

    // Incoming connections (under the task table's mutex, from any task's incoming step).
    bool IsOwnHandshake(const QSocket& connection) override;
    bool AcceptIncoming(std::unique_ptr<QSocket> connection) override;

  protected:
    SwarmRegistry& swarm_;

    // The BitTorrent identity: registered with the engine while it is known.
    void RegisterInfoHash();
    void UnregisterInfoHash();
    // Finds or makes the BT candidate for an address (LAN, DHT and incoming peers); `ip` in
    // network order. A weighty new record makes room for itself by dropping two BT peers when no
    // half-open room is left, unless `may_drop` says no more drops (it is cleared by one).
    TPeerId* AddPeerAddress(uint32_t ip, int32_t port, bool front, int32_t weight,
                            bool* may_drop = nullptr);
    // How many more outgoing BT connections may start now.
    int32_t BtHalfOpenRoom() const;
    // Every 400 ms: the engine's incoming connections and listener.
    void IncomingStep();
    // Every 10 seconds: discovery on the local network (the engine's LAN channel). Peers found
    // become candidates at the front with the LAN weight. Answers false when the step could not
    // run (no piece map, identity, listener or multicast socket yet), so that it is tried again
    // soon.
    bool LanStep();
    // Every 8 seconds: the task's DHT lookup, while the engine's DHT runs and the task may use it
    // (its setting, a BT or P2SP task with its piece map and info hash). Found peers become
    // candidates at the end with the lowest weight.
    void DhtStep();
    // Every 100 ms: the first lookup as soon as the DHT knows nodes (not only at the next 8-second
    // step), then the peers that the lookup found since, straight to the candidates. Answers
    // whether it added any, so that they are tried at once.
    bool DhtHarvest();
    bool AddDhtPeer(uint32_t ip, uint16_t port);
    // Connections over the UDP transport are welcome only while nobody from outside our /24 has
    // reached the listener and the engine knows its own external address.
    static bool WantsMorePeers();
    // Every 4 seconds after the rates: too many BT peers are dropped, stalled ones choked.
    void TrimPeers();
    void PeerUpkeep();
    // The send turn of one pass: uploads of the BT peers. Fast peers and those with traffic
    // (`ready`) every pass, slow ones on `serve_slow` passes.
    void SendTurn(bool serve_slow, const std::function<bool(const TPeerObject&)>& ready);
    // One "have" message per piece to every connected BT peer.
    void AnnounceHaves(const std::vector<PieceIndex>& pieces);

    // Makes a peer object of `kind` (1 BT, 2 HTTP, 4 FTP, 8 tracker), or null for a kind this task
    // cannot serve. Supplied by the task, which owns the peer-facing interface.
    virtual RefPtr<TPeerObject> MakePeer(PeerKind kind) = 0;
    // Facts the peer side needs from the layers above.
    virtual bool ContentComplete() = 0;
    virtual bool PieceMapReady() = 0;
    virtual int32_t SmoothedSpeed() = 0;
    virtual int64_t TaskNow() = 0;
    virtual int32_t AverageDownload() = 0;
    // The traffic of one peer turn, for the per-second counters.
    virtual void CountPeerTraffic(int32_t received, int32_t sent) = 0;
    // A source record could not be resolved: status 20216 and an immediate publication.
    virtual void ReportUnresolvable() = 0;
    // The torrent's tracker entries (the DHT step pings those that name "node://" hosts).
    virtual std::vector<std::string> TorrentTrackers() = 0;
    // A peer's turn ended it (it is reset and idled right after); the scheduler lets go of it.
    virtual void OnPeerLeaving(TPeerObject& peer) = 0;

    int32_t CandidateCount() { return static_cast<int32_t>(candidates_.size()); }

    // Candidates.
    // Parses and resolves a new record. Trackers go through the engine-wide proxy, every other
    // kind through the task's own (or else the engine's): a host that does not resolve here is
    // left to that proxy when it resolves names. A UDP tracker cannot be, which the engine log
    // (kPeerInfo) and a KF_NOTICE_TRACKER_FAILED say once per host and run.
    bool ParseCandidate(TPeerId& record);
    bool AddSource(const TPeerId& record, bool from_lan, bool replace_id);
    void RemoveSource(const TPeerId& record);
    // Turns the source lines into candidates (the first time they are also saved); with
    // `from_saved` the saved copy is used, with `connect` server sources are connected at once.
    void AddSourceLines(bool from_saved, bool connect);
    // Parses unresolved candidates again (dropping those that still fail) and fans out servers
    // with several addresses.
    void RecheckCandidates();
    // Up to `count` random mirror rows become candidates (or are connected at once).
    int32_t AddMirrorCandidates(int32_t count, bool connect);

    // Openers, once per second while the task is incomplete.
    void OpenServerConnections();
    void OpenPeerConnections();
    // Connects one more peer object to a server source, without the eligibility tests but the
    // IP filter.
    bool ConnectNow(TPeerId& record);

    // Tells every tracker that this run announced to that the task leaves (event "stopped"),
    // all at once and within kStoppedAnnounceMs in all: a UDP announce is sent and not waited
    // for, an HTTP request is written and its answer not waited for. Run when the loop has ended,
    // before the candidates go.
    void AnnounceStopped();

    // The task's copy of the engine's IP filter, which the eligibility test consults: taken when
    // the transfer is prepared (loading the engine's file first if the filter is empty), and
    // taken again by the once-per-second refresh after the engine's filter changed, which also
    // ends the connections to addresses that the new filter blocks.
    void TakeIpFilter();
    void RefreshIpFilter();
    // The task's filter blocks the record's address (a record that connects by name through the
    // proxy has none to test).
    bool IpFilterBlocks(const TPeerId& record) const;

    // The receive turn of one pass: every peer is served with `serve_all` (the once-per-second
    // pass and every k-th pass), fast peers and peers whose connection is `ready` always.
    void ReceiveTurn(bool serve_all, const std::function<bool(const TPeerObject&)>& ready);
    // Each second: slow-source recovery and the periodic rebalance.
    void PerSecondPeerWork();
    // Each second, once the peer targets are computed: every connected BT peer's per-second call
    // (requests whose blocks arrived from elsewhere are cancelled, late ones shared).
    void PerSecondBtPeerCalls();
    // Every 4 seconds, after the rates.
    void DropBadSources();

    // The ban list: BT peer addresses (network order) banned for the life of the task, a reset
    // included. Their live peers go at the next once-per-second step (DropBannedPeers, penalty
    // 3); no connection to them is opened and none from them accepted again. Ban posts
    // KF_NOTICE_BANNED with `address` ("a.b.c.d:port") and `reason`, and logs it.
    void Ban(uint32_t ip, std::string_view address, std::string_view reason);
    bool IsBanned(uint32_t ip) const;
    // "a.b.c.d:port" of a BT peer at `ip`: a live one's, else a candidate's; "a.b.c.d" when no
    // port is known.
    std::string PeerAddressText(uint32_t ip) const;
    void DropBannedPeers();
    // In end game: every BT peer but `from` drops its request for a block `from` delivered.
    void CancelElsewhere(const BlockRequest& request, const TPeerObject& from);
    // Every BT peer drops its requests for a piece that failed its check (cancelling those in
    // flight), so that the piece can go to one peer alone.
    void ForgetPieceRequests(PieceIndex piece);

    // Removes `count` objects of a kind in `mask` from the end of the active list (slow ones only
    // with `slow_only`); `why` tells the user.
    void DropPeers(int32_t mask, int32_t count, bool slow_only, const char* why);
    // Ends a peer: penalizes its record, resets it and keeps it for reuse. `why` (a literal) is
    // the task's reason; without one the peer's own reason is told.
    void RetirePeer(const RefPtr<TPeerObject>& peer, int32_t amount, const char* why = nullptr);

    // Live connections to server sources (that were not redirected).
    int32_t LiveServerConnections() const;
    int32_t LiveBtConnections() const;
    // Connected BT peers first, the most useful ones (fastest for what the task does now) first
    // among them.
    void SortActive();

    CandidateList candidates_;
    std::vector<RefPtr<TPeerObject>> active_;
    std::vector<RefPtr<TPeerObject>> idle_;
    int32_t source_connection_limit_ = kDefaultSourceConnectionLimit;
    int32_t bt_peer_limit_ = 0;  // 0 until the application sets it
    int32_t peer_slot_target_ = kDefaultPeerSlotTarget;
    int32_t peer_limit_ = 52;
    std::optional<QProxyConfig> peer_proxy_;
    // The body of a torrent that a fetch-to-memory source delivered, waiting for the task loop.
    std::string arrived_torrent_;
    bool torrent_arrived_ = false;
    BtIdentity identity_;

  private:
    static constexpr size_t kMaxNoticedBlocked = 1024;
    static constexpr uint64_t kStoppedAnnounceMs = 1500;
    static constexpr int32_t kStoppedAnnounceWaitMs = 20;

    // Validity, back-off, the IP filter, then what the kind asks for.
    bool CanConnect(TPeerId& record);
    // IpFilterBlocks, with a notice the first time for an address in this run (however often the
    // filter changes meanwhile).
    bool FilterBlocks(const TPeerId& record);
    void NoteBlocked(uint32_t ip, int32_t port);
    // Attaches peer objects to `record` up to its allowance; answers how many were attached.
    int32_t Connect(TPeerId& record, int32_t opened, int32_t room);
    void Penalize(TPeerId& record, TPeerObject& peer, int32_t amount);
    RefPtr<TPeerObject> CreatePeer(PeerKind kind);
    void AddRecordFromLine(SourceEntry& line, bool connect);
    bool ServerIsActive(const TPeerObject& peer) const;
    // How many of the first active BT peers this task keeps unchoked.
    int32_t UnchokeSlots();
    bool ChokedByTrim(const TPeerObject& peer) const;
    // Tells the user that a peer ends (a proxy's refusal, or why the connection was dropped).
    void NoticeRetired(const TPeerObject& peer, const char* why) const;

    std::vector<uint32_t> banned_;
    std::set<std::string> udp_hosts_told_;
    CIPFilter ip_filter_;
    uint64_t ip_filter_generation_ = 0;
    std::set<uint32_t> blocked_noticed_;
    std::vector<SourceEntry> saved_lines_;
    bool lines_saved_ = false;
    int32_t idle_rounds_ = 0;
    int32_t slow_source_seconds_ = 0;
    int32_t object_serial_ = 0;
    bool candidate_added_ = false;
    int64_t last_rebalance_ = 0;
    // Connection totals at the last stall check, per peer.
    struct StallMark {
        const TPeerObject* peer = nullptr;
        uint64_t received = 0;
        uint64_t sent = 0;
    };
    std::vector<StallMark> stall_marks_;
    // Peers the trim choked (the upkeep leaves them choked); compared by address only.
    std::vector<const TPeerObject*> choked_by_trim_;
    int32_t upkeep_passes_ = 0;
    // This run's LAN query went out.
    bool lan_query_sent_ = false;
    TaskDhtLookup dht_lookup_;
};

}  // namespace kf
