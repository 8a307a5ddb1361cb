#include <gtest/gtest.h>

#include "engine/peers/SourceResolver.h"
#include "engine/peers/TPeerUrlInfo.h"
#include "engine/task/CandidateList.h"

namespace {

using kf::CandidateList;
using kf::RefPtr;
using kf::TPeerId;

// A parsed record with the weight its producer gives a text source.
RefPtr<TPeerId> Parsed(const char* url) {
    auto record = RefPtr<TPeerId>::Make(url);
    EXPECT_TRUE(record->ParseSourceAddress()) << url;
    record->weight = TPeerId::kWeightTextSource;
    return record;
}

TEST(CandidateList, SamePartyIsKeptOnceAndLoopbackPeersAreRefused) {
    CandidateList list(1);
    const CandidateList::Identity identity;
    EXPECT_TRUE(list.Add(*Parsed("http://127.0.0.1:8080/a/f.bin"), false, false, identity));
    EXPECT_TRUE(list.Add(*Parsed("HTTP://127.0.0.1:8080/a/f.bin"), false, false, identity));
    EXPECT_EQ(list.size(), 1u);
    // Another path on the same server is another source.
    EXPECT_TRUE(list.Add(*Parsed("http://127.0.0.1:8080/b/f.bin"), false, false, identity));
    EXPECT_EQ(list.size(), 2u);

    EXPECT_FALSE(list.Add(*Parsed("btnode://127.0.0.1:6881"), false, false, identity));
    EXPECT_TRUE(list.Add(*Parsed("btnode://127.0.0.2:6881"), false, false, identity));
    EXPECT_TRUE(list.Add(*Parsed("btnode://127.0.0.2:6881"), false, false, identity));
    EXPECT_EQ(list.size(), 3u);
    // BT peers get their weight and sort after the servers.
    EXPECT_EQ(list.records().back()->weight, TPeerId::kWeightBtPeer);

    CandidateList::Identity listening;
    listening.listen_ip = Parsed("btnode://127.0.0.3:7000")->ip;
    listening.listen_port = 7000;
    EXPECT_FALSE(list.Add(*Parsed("btnode://127.0.0.3:7000"), false, false, listening));
    // Behind a NAT router a tracker lists the engine under its external address.
    listening.external_ip = Parsed("btnode://198.51.100.9:7000")->ip;
    EXPECT_FALSE(list.Add(*Parsed("btnode://198.51.100.9:7000"), false, false, listening));
    EXPECT_TRUE(list.Add(*Parsed("btnode://198.51.100.9:7001"), false, false, listening));

    CandidateList::Identity swarm;
    swarm.swarm_task = true;
    swarm.own_peer_id.fill(7);
    auto self = Parsed("btnode://127.0.0.4:7001");
    self->peer_id = swarm.own_peer_id;
    EXPECT_FALSE(list.Add(*self, false, false, swarm));
}

// Servers whose names are left to the proxy have no address: they are told apart by host.
TEST(CandidateList, ServersByNameAreToldApartByTheirHost) {
    const kf::SourceResolverFn previous =
        kf::SetSourceResolver([](std::string_view, std::vector<uint32_t>&) { return -1; });
    const auto by_name = [](const char* url) {
        auto record = RefPtr<TPeerId>::Make(url);
        EXPECT_TRUE(record->ParseSourceAddress(true)) << url;
        record->weight = TPeerId::kWeightTextSource;
        return record;
    };
    CandidateList list(1);
    const CandidateList::Identity identity;
    EXPECT_TRUE(list.Add(*by_name("http://one.test/f.bin"), false, false, identity));
    EXPECT_TRUE(list.Add(*by_name("http://two.test/f.bin"), false, false, identity));
    EXPECT_EQ(list.size(), 2u);
    EXPECT_TRUE(list.Add(*by_name("http://one.test:80/f.bin"), false, false, identity));
    EXPECT_EQ(list.size(), 2u);
    kf::SetSourceResolver(previous);
}

TEST(CandidateList, OrderFollowsWeightHistoryAndPenalty) {
    CandidateList list(2);
    const CandidateList::Identity identity;
    for (const char* url :
         {"http://127.0.0.1:1/f", "http://127.0.0.1:2/f", "http://127.0.0.1:3/f"}) {
        ASSERT_TRUE(list.Add(*Parsed(url), false, false, identity));
    }
    list.records()[0]->whole_pieces = 0;
    for (const auto& record : list.records()) {
        record->attempts = record->port;  // port 1 has the fewest attempts
    }
    list.records()[2]->weight = 30;
    list.Sort();
    EXPECT_EQ(list.records()[0]->weight, 30);
    EXPECT_LT(list.records()[1]->attempts, list.records()[2]->attempts);
    list.records()[2]->whole_pieces = 3;
    list.Sort();
    EXPECT_EQ(list.records()[1]->whole_pieces, 3);
}

TEST(CandidateList, BackOffForgivesServersWithWholePiecesAndSpacesTrackers) {
    auto server = Parsed("http://127.0.0.1:8080/f");
    server->penalty = 60;
    EXPECT_FALSE(CandidateList::Eligible(*server, 5000, 100));
    server->whole_pieces = 16;
    EXPECT_TRUE(CandidateList::Eligible(*server, 5000, 100));
    EXPECT_EQ(server->penalty, 0);

    server->penalty = 45;
    server->whole_pieces = 6;
    EXPECT_FALSE(CandidateList::Eligible(*server, 5000, 100));  // 45 / 10 = 4, then 3 left
    EXPECT_EQ(server->penalty, 3);

    // With no download at all a penalty shrinks tenfold.
    auto idle = Parsed("http://127.0.0.1:8081/f");
    idle->penalty = 10;
    EXPECT_TRUE(CandidateList::Eligible(*idle, 0, 100));

    // A second connection to a server needs its size first.
    idle->max_connections = 2;
    idle->connections = 1;
    EXPECT_FALSE(CandidateList::Eligible(*idle, 0, 100));
    idle->UrlInfo().content_length = 1000;
    EXPECT_TRUE(CandidateList::Eligible(*idle, 0, 100));

    auto tracker = Parsed("tracker://http://127.0.0.1:6969/announce");
    EXPECT_TRUE(CandidateList::Eligible(*tracker, 0, 1000));
    tracker->last_attach_time = 1000;
    EXPECT_FALSE(CandidateList::Eligible(*tracker, 0, 1599));
    EXPECT_TRUE(CandidateList::Eligible(*tracker, 0, 1600));

    auto peer = Parsed("btnode://127.0.0.2:6881");
    peer->connections = 1;
    EXPECT_FALSE(CandidateList::Eligible(*peer, 0, 0));
}

// Records made from an address alone (incoming and discovered peers) go where they are put
// among equals, keeping their own weight.
TEST(CandidateList, InsertKeepsTheRecordAndItsPlaceAmongEquals) {
    CandidateList list(1);
    const CandidateList::Identity identity;
    ASSERT_TRUE(list.Add(*Parsed("btnode://127.0.0.2:1000"), false, false, identity));
    auto front = Parsed("btnode://127.0.0.2:1001");
    front->weight = TPeerId::kWeightBtPeer;
    auto back = Parsed("btnode://127.0.0.2:1002");
    back->weight = TPeerId::kWeightBtPeer;
    auto heavy = Parsed("btnode://127.0.0.1:1003");  // no loopback rule here
    heavy->weight = 35;
    EXPECT_EQ(list.Insert(front, true), front.get());
    EXPECT_EQ(list.Insert(back, false), back.get());
    EXPECT_EQ(list.Insert(heavy, false), heavy.get());
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list.records()[0].get(), heavy.get());
    EXPECT_EQ(list.records()[1].get(), front.get());
    EXPECT_EQ(list.records()[3].get(), back.get());
}

}  // namespace
