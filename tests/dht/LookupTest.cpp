// Lookups on a recording host: the walk, resends and failures, and the two phases of a task's
// lookup with its announces.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/dht/CKadActionFind.h"
#include "engine/dht/KrpcBuilder.h"

namespace kf {
namespace {

NodeId IdWithTop(uint8_t top, uint8_t low = 1) {
    NodeId id{};
    id[0] = top;
    id[19] = low;
    return id;
}

DhtNode Node(uint8_t top) {
    DhtNode node;
    node.id = IdWithTop(top);
    node.ip = 0x0000000a | (uint32_t{top} << 24);
    node.port = 6881;
    return node;
}

struct Sent {
    DhtNode node;
    std::string method;
    std::string args;
    std::string transaction;
};

class FakeHost : public LookupHost {
  public:
    int64_t now = 100;
    std::vector<DhtNode> seeds;
    std::vector<Sent> sent;
    std::vector<DhtNode> queued;
    std::vector<DhtNode> offered;
    std::map<std::pair<NodeId, uint32_t>, std::string> tokens;
    std::string local_peers;
    int next_id = 0;

    int64_t Now() override { return now; }
    NodeId OwnId() override { return IdWithTop(0xEE); }
    std::vector<DhtNode> SeedNodes(const NodeId&) override { return seeds; }
    void QueueNodeForTable(const DhtNode& node) override { queued.push_back(node); }
    void OfferNode(const DhtNode& node) override { offered.push_back(node); }
    std::string SendQuery(const DhtNode& node, std::string_view method, std::string_view args,
                          std::string_view transaction) override {
        std::string id =
            transaction.empty() ? "t" + std::to_string(next_id++) : std::string(transaction);
        sent.push_back(Sent{node, std::string(method), std::string(args), id});
        return id;
    }
    void StoreReceivedToken(const DhtNode& node, std::string token) override {
        tokens[{node.id, node.ip}] = std::move(token);
    }
    std::optional<std::string> ReceivedToken(const DhtNode& node) override {
        const auto it = tokens.find({node.id, node.ip});
        return it == tokens.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    void CopyLocalPeers(const NodeId&, std::string& out) override { out.append(local_peers); }

    std::vector<Sent> Take() { return std::exchange(sent, {}); }
};

KrpcMessage Reply(const Sent& to, std::string token = {}) {
    KrpcMessage reply;
    reply.kind = KrpcMessage::Kind::kReply;
    reply.transaction = to.transaction;
    reply.sender = to.node.id;
    if (!token.empty()) {
        reply.token = std::move(token);
    }
    return reply;
}

TEST(Lookup, AsksFiveAtATimeResendsOnceAndCountsSilenceAsFailure) {
    FakeHost host;
    for (uint8_t i = 1; i <= 8; ++i) {
        host.seeds.push_back(Node(i));
    }
    CKadActionFind lookup(host, IdWithTop(0x01, 9));
    lookup.Start();
    std::vector<DhtNode> failed;
    lookup.Tick(failed);
    std::vector<Sent> first = host.Take();
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(first[0].node.id, IdWithTop(0x01)) << "closest first";
    EXPECT_EQ(first[0].method, "find_node");

    // A reply with closer nodes: they are queued for the table and asked next.
    KrpcMessage reply = Reply(first[0]);
    reply.has_nodes = true;
    Node(0x01).AppendCompact(reply.nodes);  // already a candidate
    DhtNode closer = Node(0x01);
    closer.id = IdWithTop(0x01, 8);
    closer.ip += 1;
    closer.AppendCompact(reply.nodes);
    ASSERT_TRUE(lookup.HandleReply(reply, first[0].node));
    EXPECT_TRUE(lookup.HandleReply(Reply(first[1]), first[1].node));
    EXPECT_FALSE(lookup.HandleReply(Reply(first[1]), first[1].node)) << "transaction used up";
    EXPECT_FALSE(lookup.HandleReply(Reply(first[2]), first[3].node)) << "not the node asked";
    ASSERT_EQ(host.queued.size(), 1u);
    EXPECT_EQ(host.queued[0].id, closer.id);
    lookup.Tick(failed);
    const std::vector<Sent> second = host.Take();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].node.id, closer.id);

    host.now += 6;
    lookup.Tick(failed);
    const std::vector<Sent> resent = host.Take();
    EXPECT_EQ(resent.size(), 5u);
    EXPECT_EQ(resent[0].transaction, first[2].transaction) << "the same transaction again";
    host.now += 5;
    lookup.Tick(failed);
    EXPECT_EQ(failed.size(), 5u);
    EXPECT_FALSE(lookup.IsDone()) << "candidates remain";
    host.Take();
    host.now += 11;
    lookup.Tick(failed);
    lookup.Tick(failed);
    EXPECT_TRUE(lookup.IsDone());
}

TEST(Lookup, EmptySeedsFinishAtOnceAndATaskLookupIsDoneAfterItsSecondPhase) {
    FakeHost host;
    CKadActionFind find(host, IdWithTop(0x10));
    find.Start();
    EXPECT_TRUE(find.IsDone());

    CKadActionBitTorrent torrent(host, IdWithTop(0x10));
    torrent.Start();
    EXPECT_FALSE(torrent.IsDone());
    EXPECT_TRUE(torrent.InAnnouncePhase());
    std::vector<DhtNode> failed;
    torrent.Tick(failed);
    EXPECT_TRUE(torrent.IsDone());
    EXPECT_TRUE(host.sent.empty());
}

TEST(Lookup, TaskLookupCollectsPeersThenAnnouncesToNodesWithTokens) {
    FakeHost host;
    for (uint8_t i = 1; i <= 4; ++i) {
        host.seeds.push_back(Node(i));
    }
    host.local_peers = "LLLLLL";
    CKadActionBitTorrent lookup(host, IdWithTop(0x01, 7));
    lookup.SetAnnouncePort(6881);
    lookup.Start();
    std::vector<DhtNode> failed;
    lookup.Tick(failed);
    std::map<uint8_t, Sent> asked;
    for (const Sent& sent : host.Take()) {
        EXPECT_EQ(sent.args, KrpcBuilder::GetPeersArgs(IdWithTop(0x01, 7)));
        asked[sent.node.id[0]] = sent;
    }
    ASSERT_EQ(asked.size(), 4u);

    // Node 1: 13 bytes of values (2 peers) and a 4-byte token. Node 2: 61 peers, a token.
    // Node 3: nodes only, a token. Node 4: silent.
    KrpcMessage values = Reply(asked[1], "tok1");
    values.has_values = true;
    values.values = {std::string(13, 'p')};
    ASSERT_TRUE(lookup.HandleReply(values, asked[1].node));
    KrpcMessage many = Reply(asked[2], "tok2");
    many.has_values = true;
    many.values.assign(61, std::string(6, 'm'));
    ASSERT_TRUE(lookup.HandleReply(many, asked[2].node));
    KrpcMessage nodes = Reply(asked[3], "tok3");
    nodes.has_nodes = true;
    ASSERT_TRUE(lookup.HandleReply(nodes, asked[3].node));
    std::string peers;
    lookup.Tick(failed);
    ASSERT_TRUE(lookup.TakePeers(peers));
    EXPECT_EQ(peers.size(), 6u + 12 + 61 * 6) << "local peers, then whole peers only";
    EXPECT_EQ(peers.substr(0, 6), "LLLLLL");
    EXPECT_FALSE(lookup.TakePeers(peers));

    host.now += 11;  // node 4 fails, the first phase ends
    lookup.Tick(failed);
    EXPECT_TRUE(lookup.InAnnouncePhase());
    lookup.Tick(failed);
    std::vector<Sent> announces = host.Take();
    std::map<uint8_t, std::string> args_by_node;
    for (const Sent& sent : announces) {
        EXPECT_EQ(sent.method, "announce_peer");
        args_by_node[sent.node.id[0]] = sent.args;
    }
    // Every node that gave a token gets one announce, echoing its token (the one that held 61
    // peers too, as one of the closest); the silent node none.
    ASSERT_EQ(args_by_node.size(), 3u);
    EXPECT_EQ(args_by_node[1], KrpcBuilder::AnnounceArgs(IdWithTop(0x01, 7), 6881, "tok1"));
    EXPECT_EQ(args_by_node[2], KrpcBuilder::AnnounceArgs(IdWithTop(0x01, 7), 6881, "tok2"));
    EXPECT_EQ(args_by_node[3], KrpcBuilder::AnnounceArgs(IdWithTop(0x01, 7), 6881, "tok3"));
    EXPECT_FALSE(args_by_node.contains(4));
    for (const Sent& sent : announces) {
        lookup.HandleReply(Reply(sent), sent.node);
    }
    lookup.Tick(failed);
    EXPECT_TRUE(lookup.IsDone()) << "nothing left to announce to";
}

// Nine nodes with tokens answer the get_peers phase; the lookup is left at its announce phase.
// A `port_midway` is set after the first queries went out.
void WalkToAnnouncePhase(FakeHost& host, CKadActionBitTorrent& lookup, uint16_t port_midway = 0) {
    for (uint8_t i = 1; i <= 9; ++i) {
        host.seeds.push_back(Node(i));
        host.tokens[{Node(i).id, Node(i).ip}] = "t";
    }
    lookup.Start();
    std::vector<DhtNode> failed;
    lookup.Tick(failed);
    if (port_midway != 0) {
        lookup.SetAnnouncePort(port_midway);
    }
    for (int round = 0; round < 4 && !lookup.InAnnouncePhase(); ++round) {
        for (const Sent& sent : host.Take()) {
            lookup.HandleReply(Reply(sent), sent.node);
        }
        lookup.Tick(failed);
    }
}

TEST(Lookup, SixAcknowledgedAnnouncesEndTheLookup) {
    FakeHost host;
    CKadActionBitTorrent lookup(host, IdWithTop(0x01, 7));
    lookup.SetAnnouncePort(6881);
    WalkToAnnouncePhase(host, lookup);
    ASSERT_TRUE(lookup.InAnnouncePhase());
    std::vector<DhtNode> failed;
    int acknowledged = 0;
    for (int round = 0; round < 4 && !lookup.IsDone(); ++round) {
        lookup.Tick(failed);
        for (const Sent& sent : host.Take()) {
            EXPECT_EQ(sent.method, "announce_peer");
            if (lookup.HandleReply(Reply(sent), sent.node)) {
                ++acknowledged;
            }
        }
    }
    EXPECT_TRUE(lookup.IsDone());
    EXPECT_EQ(acknowledged, 6);
}

TEST(Lookup, WithoutAListeningPortNothingIsAnnouncedAndAPortSetMidwayIsUsed) {
    const auto announces = [](const std::vector<Sent>& sent) {
        std::vector<std::string> args;
        for (const Sent& one : sent) {
            if (one.method == "announce_peer") {
                args.push_back(one.args);
            }
        }
        return args;
    };
    // Port 0 would send every peer that asks to nowhere: the lookup ends unannounced.
    FakeHost host;
    CKadActionBitTorrent lookup(host, IdWithTop(0x01, 7));
    WalkToAnnouncePhase(host, lookup);
    std::vector<DhtNode> failed;
    lookup.Tick(failed);
    EXPECT_TRUE(announces(host.Take()).empty());
    EXPECT_TRUE(lookup.IsDone());

    FakeHost later;
    CKadActionBitTorrent relooked(later, IdWithTop(0x01, 7));
    WalkToAnnouncePhase(later, relooked, 7000);
    relooked.Tick(failed);
    const std::vector<std::string> sent = announces(later.Take());
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], KrpcBuilder::AnnounceArgs(IdWithTop(0x01, 7), 7000, "t"));
}

}  // namespace
}  // namespace kf
