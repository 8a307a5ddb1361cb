// KRPC messages byte for byte, the reader's checks and bounds, and the answers to other nodes'
// queries with their tokens and rate limits.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/dht/DhtPeerStore.h"
#include "engine/dht/DhtResponder.h"
#include "engine/dht/DhtRoutingTable.h"
#include "engine/dht/KrpcBuilder.h"
#include "engine/dht/KrpcMessage.h"

namespace kf {
namespace {

NodeId Id(char fill) {
    NodeId id;
    id.fill(static_cast<uint8_t>(fill));
    return id;
}

std::string Text(const NodeId& id) {
    return std::string(IdBytes(id));
}

std::optional<KrpcMessage> Parse(const std::string& bytes) {
    return KrpcMessage::Parse(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

DhtNode Node(char fill, uint32_t ip, uint16_t port) {
    DhtNode node;
    node.id = Id(fill);
    node.ip = ip;
    node.port = port;
    return node;
}

TEST(Krpc, EveryMessageKindByteForByte) {
    const NodeId own = Id('A');
    const std::string tid = "\x01\x02\x03\x04\x05\x06\x07\x08";
    const std::string token = std::string(20, 'T');
    const DhtNode node = Node('N', 0x0100007f, 0x1234);
    struct Case {
        std::string built;
        std::string expected;
    };
    const Case cases[] = {
        {KrpcBuilder::Query(own, "ping", "", tid),
         "d1:ad2:id20:" + Text(own) + "e1:q4:ping1:t8:" + tid + "1:y1:qe"},
        {KrpcBuilder::Query(own, "find_node", KrpcBuilder::FindNodeArgs(Id('B')), tid),
         "d1:ad2:id20:" + Text(own) + "6:target20:" + Text(Id('B')) + "e1:q9:find_node1:t8:" + tid +
             "1:y1:qe"},
        {KrpcBuilder::Query(own, "get_peers", KrpcBuilder::GetPeersArgs(Id('H')), tid),
         "d1:ad2:id20:" + Text(own) + "9:info_hash20:" + Text(Id('H')) +
             "e1:q9:get_peers1:t8:" + tid + "1:y1:qe"},
        // Tokens are echoed as received: libtorrent's are 4 bytes.
        {KrpcBuilder::AnnounceArgs(Id('H'), 6881, "abcd"),
         "9:info_hash20:" + Text(Id('H')) + "4:porti6881e5:token4:abcd"},
        {KrpcBuilder::AnnounceArgs(Id('H'), 1, ""),
         "9:info_hash20:" + Text(Id('H')) + "4:porti1e5:token0:"},
        {KrpcBuilder::Reply(own, KrpcBuilder::NodesReplyArgs({node}, token), "xy"),
         "d1:rd2:id20:" + Text(own) + "5:nodes26:" + Text(Id('N')) +
             std::string("\x7f\x00\x00\x01\x12\x34", 6) + "5:token20:" + token + "e1:t2:xy1:y1:re"},
        {KrpcBuilder::Reply(own, KrpcBuilder::NodesReplyArgs({}, token), "xy"),
         "d1:rd2:id20:" + Text(own) + "5:nodes0:5:token20:" + token + "e1:t2:xy1:y1:re"},
        {KrpcBuilder::Reply(own, KrpcBuilder::ValuesReplyArgs("6:valuesl6:PPPPPPe", token), "xy"),
         "d1:rd2:id20:" + Text(own) + "6:valuesl6:PPPPPPe5:token20:" + token + "e1:t2:xy1:y1:re"},
        {KrpcBuilder::Rejection("xy"), "d1:e20:Invalid Write Token!1:t2:xy1:y1:ee"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.built, c.expected);
    }
    // Arguments and name beyond 1200 bytes are not built.
    EXPECT_TRUE(KrpcBuilder::Query(own, "x", std::string(1200, 'a'), tid).empty());
    EXPECT_FALSE(KrpcBuilder::Query(own, "x", std::string(1199, 'a'), tid).empty());
}

TEST(Krpc, ReaderTakesWhatRealNodesSendAndDropsTheRest) {
    const std::string id = Text(Id('S'));
    const std::string args = "d2:id20:" + id;
    struct Case {
        std::string bytes;
        bool taken;
    };
    const Case cases[] = {
        {"d1:a" + args + "e1:q4:ping1:t2:aa1:y1:qe", true},  // a 2-byte t, as libtorrent sends
        {"d1:a" + args + "e1:q4:ping1:t1:a1:y1:qe", true},
        {"d1:a" + args + "e1:q4:ping1:t32:" + std::string(32, 't') + "1:y1:qe", true},
        {"d1:a" + args + "e1:q4:ping1:t33:" + std::string(33, 't') + "1:y1:qe", false},
        {"d1:a" + args + "e1:q4:ping1:t0:1:y1:qe", false},
        {"d1:a" + args + "e1:q4:ping1:t2:aa1:y1:xe", false},
        {"d1:a" + args + "e1:q4:ping1:t2:aae", false},
        {"d1:ad2:id19:" + id.substr(1) + "e1:q4:ping1:t2:aa1:y1:qe", false},
        {"d1:r" + args + "e1:t2:aa1:y1:re", true},
        {"d1:r" + args + "e1:t2:aa1:y1:qe", false},  // a query without its method and body
        {"d1:eli201e5:Errore1:t2:aa1:y1:ee", false},
        {"d1:a" + args + "e1:qi4e1:t2:aa1:y1:qe", false},
        {"l4:pinge", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.bytes).has_value(), c.taken) << c.bytes;
    }
}

TEST(Krpc, ReaderKeepsFieldsWithinTheirBounds) {
    const std::string id = Text(Id('S'));
    std::string nodes(30 * 26 + 7, 'n');
    const auto reply =
        Parse("d1:rd2:id20:" + id + "5:nodes" + std::to_string(nodes.size()) + ":" + nodes +
              "5:token4:abcd6:valuesl6:AAAAAA13:BBBBBBBBBBBBBee1:t2:" + "aa1:y1:re");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->nodes.size(), KrpcMessage::kMaxNodes * 26);
    EXPECT_EQ(reply->token, "abcd");
    ASSERT_EQ(reply->values.size(), 2u);
    EXPECT_EQ(reply->values[1].size(), 13u);

    const auto announce = Parse(
        "d1:ad2:id20:" + id + "12:implied_porti1e9:info_hash20:" + Text(Id('H')) +
        "4:porti70000e5:token65:" + std::string(65, 't') + "e1:q13:announce_peer1:t2:aa1:y1:qe");
    ASSERT_TRUE(announce);
    EXPECT_TRUE(announce->implied_port);
    EXPECT_EQ(announce->port, 70000);
    EXPECT_FALSE(announce->token) << "tokens longer than 64 bytes are not kept";
    EXPECT_EQ(announce->info_hash, Id('H'));
}

class Responder : public ::testing::Test {
  protected:
    static constexpr uint32_t kQuerier = 0x0500000a;
    static constexpr uint16_t kPort = 7000;

    std::string Ask(const std::string& method, const std::string& args, int64_t now,
                    uint32_t from = kQuerier, uint16_t port = kPort) {
        const auto query = Parse("d1:ad2:id20:" + Text(Id('Q')) + args + "e1:q" +
                                 std::to_string(method.size()) + ":" + method + "1:t2:tt1:y1:qe");
        EXPECT_TRUE(query);
        return query ? responder_.Answer(*query, from, port, now) : std::string();
    }
    std::string Token(int64_t now, uint32_t from = kQuerier) {
        const auto answer = Parse(Ask("get_peers", "9:info_hash20:" + Text(Id('H')), now, from));
        return answer && answer->token ? *answer->token : std::string();
    }

    DhtRoutingTable table_{Id('O')};
    DhtPeerStore store_;
    DhtResponder responder_{table_, store_};
};

TEST_F(Responder, FindNodeAndGetPeersAnswerWithNodesOrValuesAndAToken) {
    EXPECT_EQ(Ask("ping", "", 1), "d1:rd2:id20:" + Text(Id('O')) + "e1:t2:tt1:y1:re");
    EXPECT_EQ(Ask("find_node", "6:target20:" + Text(Id('O')), 1), "");
    EXPECT_EQ(Ask("find_node", "6:target20:" + std::string(20, '\0'), 1), "");
    EXPECT_EQ(Ask("bogus", "", 1), "");
    const std::string empty = Ask("find_node", "6:target20:" + Text(Id('Z')), 1, kQuerier + 9);
    EXPECT_NE(empty.find("5:nodes0:5:token20:"), std::string::npos) << empty;

    for (int i = 0; i < 12; ++i) {
        table_.InsertNode(Node(static_cast<char>('a' + i), 0x0100000a + (i << 24), 100), true,
                          false, 1);
    }
    const auto nodes = Parse(Ask("find_node", "6:target20:" + Text(Id('Z')), 2));
    ASSERT_TRUE(nodes);
    EXPECT_EQ(nodes->nodes.size(), 8u * 26);

    for (uint32_t i = 0; i < 120; ++i) {
        store_.AddPeer(Id('H'), 0x0a000000 + i, 6881, 1);
    }
    std::set<std::string> firsts;
    for (int64_t now = 3; now < 8; ++now) {
        const auto values = Parse(Ask("get_peers", "9:info_hash20:" + Text(Id('H')), now,
                                      kQuerier + static_cast<uint32_t>(now)));
        ASSERT_TRUE(values);
        EXPECT_EQ(values->values.size(), 50u);
        EXPECT_TRUE(values->token);
        firsts.insert(values->values.front());
    }
    EXPECT_GT(firsts.size(), 1u) << "the answer starts at a varying offset";
}

TEST_F(Responder, AnnounceNeedsAValidPortAndTokenThatOutlivesOneRotation) {
    table_.RotateSecrets(0);
    const std::string hash = "9:info_hash20:" + Text(Id('H'));
    const std::string token = Token(0);
    ASSERT_EQ(token.size(), 20u);
    const auto announce = [&](const std::string& port, const std::string& with, int64_t now) {
        return Ask("announce_peer", hash + port + "5:token20:" + with, now);
    };
    EXPECT_EQ(announce("4:porti0e", token, 0), "");
    EXPECT_EQ(announce("4:porti65536e", token, 0), "") << "never cut to 16 bits";
    EXPECT_EQ(announce("4:porti6881e", std::string(20, 'x'), 0),
              "d1:e20:Invalid Write Token!1:t2:tt1:y1:ee");
    EXPECT_EQ(announce("4:porti6881e", token, 0),
              "d1:rd2:id20:" + Text(Id('O')) + "e1:t2:tt1:y1:re");
    std::string values;
    ASSERT_TRUE(store_.CopyPeers(Id('H'), 0, values));
    EXPECT_EQ(values, std::string("\x0a\x00\x00\x05\x1a\xe1", 6));

    table_.RotateSecrets(400);  // the token's secret is now the previous one
    EXPECT_NE(announce("4:porti6882e", token, 400).find("1:y1:re"), std::string::npos);
    table_.RotateSecrets(800);
    EXPECT_NE(announce("4:porti6883e", token, 800).find("Invalid Write Token!"), std::string::npos);
    // Another querier cannot use this querier's token.
    EXPECT_NE(Ask("announce_peer", hash + "4:porti1e5:token20:" + Token(800), 801, kQuerier + 1)
                  .find("Invalid Write Token!"),
              std::string::npos);
}

TEST_F(Responder, ASourceGetsFiveAnswersASecondAndAllAnswersStayWithinTheByteBudget) {
    for (int64_t now = 10; now < 13; ++now) {
        int answered = 0;
        for (int i = 0; i < 20; ++i) {
            answered += Ask("ping", "", now).empty() ? 0 : 1;
        }
        EXPECT_EQ(answered, DhtResponder::kQueriesPerSecond);
    }
    // Many sources, large answers: the bytes of one second stay within the budget.
    for (uint32_t i = 0; i < 200; ++i) {
        store_.AddPeer(Id('H'), 0x0a000000 + i, 6881, 1);
    }
    int64_t bytes = 0;
    for (uint32_t source = 0; source < 1000; ++source) {
        bytes += static_cast<int64_t>(
            Ask("get_peers", "9:info_hash20:" + Text(Id('H')), 20, 0x0b000000 + source).size());
    }
    EXPECT_LE(bytes, DhtResponder::kReplyBytesPerSecond);
    EXPECT_GT(bytes, DhtResponder::kReplyBytesPerSecond / 2);
}

TEST(DhtPeerStore, AFloodOfAnnouncesStaysWithinItsCaps) {
    DhtPeerStore store;
    for (uint32_t i = 0; i < 100'000; ++i) {
        NodeId hash{};
        hash[0] = static_cast<uint8_t>(i % 251);
        hash[1] = static_cast<uint8_t>(i / 251 % 13);
        store.AddPeer(hash, i, static_cast<uint16_t>(i), 1 + i / 1000);
    }
    EXPECT_LE(store.HashCount(), DhtPeerStore::kMaxHashes);
    EXPECT_LE(store.PeerCount(), DhtPeerStore::kMaxHashes * DhtPeerStore::kMaxPeers);
    NodeId crowded{};
    for (uint32_t i = 0; i < 2000; ++i) {
        store.AddPeer(crowded, i, 1, 200 + i);
    }
    std::string peers;
    ASSERT_TRUE(store.CopyPeers(crowded, 0, peers));
    EXPECT_EQ(peers.size(), 50u * 6);
    store.Prune(200 + 1999 + 1801);
    EXPECT_EQ(store.HashCount(), 0u) << "every announce is older than 30 minutes";
}

}  // namespace
}  // namespace kf
