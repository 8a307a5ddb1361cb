// The loopback swarm harnesses themselves: a private opentracker, and third-party seeders and
// leechers that listen on and announce from 127.0.0.2 and up, so that the engine (which refuses
// peers at 127.0.0.1) can meet them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "support/Aria2Peer.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/HostilePeer.h"
#include "support/LibtorrentPeer.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"
#include "support/TransmissionPeer.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::Aria2Peer;
using test::HostilePeer;
using test::LibtorrentPeer;
using test::OpenTracker;
using test::TrackerAnnounce;
using test::TrackerPeer;
using test::TransmissionPeer;

TrackerAnnounce Announce(const std::string& hash, const std::string& from, int32_t port,
                         int64_t left, const std::string& peer_id) {
    TrackerAnnounce query;
    query.info_hash_hex = hash;
    query.from_address = from;
    query.port = port;
    query.left = left;
    query.peer_id = peer_id;
    return query;
}

// A small torrent made afresh, its info-hash and the tracker serving it.
class TrackerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OpenTracker::Available() || !test::HaveMktorrent()) {
            GTEST_SKIP() << "opentracker or mktorrent not installed";
        }
        ASSERT_TRUE(test::WriteFile(dir_ / "a.bin", test::RandomBytes(100000, 7)));
        metainfo_ = test::MakeTorrent(dir_ / "a.bin", 15, dir_ / "a.torrent",
                                      {"http://127.0.0.1:1/announce"});
        ASSERT_FALSE(metainfo_.empty());
        hash_ = test::TorrentInfoHashHex(metainfo_);
        ASSERT_EQ(hash_.size(), 40u);
        ASSERT_TRUE(tracker_.Start({hash_})) << tracker_.LogText();
    }

    test::TempDir dir_;
    std::string metainfo_;
    std::string hash_;
    OpenTracker tracker_;
};

TEST_F(TrackerFixture, HandsOutTheAddressTheAnnounceCameFromOverUdpAndHttp) {
    const TrackerAnnounce udp_start =
        Announce(hash_, "127.0.0.2", 40001, 1, "-KT0001-udpudpudp001");
    TrackerAnnounce udp = udp_start;
    const auto first = tracker_.UdpAnnounce(udp);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->accepted);

    const TrackerAnnounce http = Announce(hash_, "127.0.0.3", 40002, 0, "-KT0001-httphttphttp");
    const auto second = tracker_.HttpAnnounce(http);
    ASSERT_TRUE(second.has_value());
    ASSERT_TRUE(second->accepted);
    EXPECT_EQ(second->seeders, 1);
    EXPECT_EQ(second->leechers, 1);
    EXPECT_NE(
        std::find(second->peers.begin(), second->peers.end(), TrackerPeer{"127.0.0.2", 40001}),
        second->peers.end());

    const auto peers = tracker_.Peers(hash_);
    EXPECT_EQ(peers.size(), 2u);
    EXPECT_NE(std::find(peers.begin(), peers.end(), TrackerPeer{"127.0.0.3", 40002}), peers.end());
    const auto counts = tracker_.Scrape(hash_);
    ASSERT_TRUE(counts.has_value());
    EXPECT_EQ(counts->seeders, 1);
    EXPECT_EQ(counts->leechers, 1);

    // A withdrawn peer is no longer handed out; the probes leave nothing behind.
    udp.event = "stopped";
    ASSERT_TRUE(tracker_.UdpAnnounce(udp).has_value());
    EXPECT_EQ(tracker_.Peers(hash_), (std::vector<TrackerPeer>{{"127.0.0.3", 40002}}));
}

TEST_F(TrackerFixture, RefusesHashesOffTheWhitelistUntilAllowed) {
    const std::string other(40, 'a');
    const TrackerAnnounce query = Announce(other, "127.0.0.1", 9, 1, "");
    const auto udp = tracker_.UdpAnnounce(query);
    ASSERT_TRUE(udp.has_value());
    EXPECT_FALSE(udp->accepted);
    const auto http = tracker_.HttpAnnounce(query);
    ASSERT_TRUE(http.has_value());
    EXPECT_FALSE(http->accepted);

    ASSERT_TRUE(tracker_.Allow(other));
    EXPECT_TRUE(tracker_.UdpAnnounce(query)->accepted);
    // The first hash stays allowed after the reload.
    TrackerAnnounce first = Announce(hash_, "127.0.0.1", 9, 1, "");
    first.event = "stopped";
    EXPECT_TRUE(tracker_.UdpAnnounce(first)->accepted);
}

TEST(TorrentInfoHash, RefusesBytesThatAreNotMetainfo) {
    EXPECT_EQ(test::TorrentInfoHashHex("d4:infoi3ee"), "");
    EXPECT_EQ(test::TorrentInfoHashHex(""), "");
}

// Content in a "data" folder served by seeders, its torrent (HTTP then UDP announce of the
// tracker) and the tracker.
class SwarmFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OpenTracker::Available() || !test::HaveMktorrent() || !LibtorrentPeer::Available() ||
            !Aria2Peer::Available() || !TransmissionPeer::Available()) {
            GTEST_SKIP() << "opentracker, mktorrent, python3-libtorrent, aria2c or transmission "
                            "not installed";
        }
        std::filesystem::create_directories(dir_ / "data");
        std::filesystem::create_directories(dir_ / "got");
        bytes_ = test::RandomBytes(3 << 20, 11);
        ASSERT_TRUE(test::WriteFile(dir_ / "data/c.bin", bytes_));
        // The tracker's port is only known once it runs: start it on the hash of a first
        // metainfo (the announce address is not part of the hash), then write the real one.
        const std::string first = test::MakeTorrent(dir_ / "data/c.bin", 18, dir_ / "c.torrent",
                                                    {"http://127.0.0.1:1/announce"});
        hash_ = test::TorrentInfoHashHex(first);
        ASSERT_TRUE(tracker_.Start({hash_})) << tracker_.LogText();
        const std::string metainfo =
            test::MakeTorrent(dir_ / "data/c.bin", 18, torrent_,
                              {tracker_.HttpAnnounceUrl(), tracker_.UdpAnnounceUrl()});
        ASSERT_EQ(test::TorrentInfoHashHex(metainfo), hash_);
    }

    bool Listed(const TrackerPeer& peer) { return tracker_.WaitForPeer(hash_, peer, 15s); }

    test::TempDir dir_;
    const std::string torrent_ = dir_ / "c.torrent";
    std::string bytes_;
    std::string hash_;
    OpenTracker tracker_;
};

TEST_F(SwarmFixture, LibtorrentSeederToAria2LeecherAwayFrom127001) {
    LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, torrent_, dir_ / "data",
                             LibtorrentPeer::Options{.address = "127.0.0.2"}));
    ASSERT_TRUE(seeder.WaitSeeding(20s)) << seeder.LogText();
    ASSERT_TRUE(Listed(seeder.Endpoint())) << seeder.LogText();

    Aria2Peer leecher;
    ASSERT_TRUE(leecher.Start(Aria2Peer::Role::kLeecher, torrent_, dir_ / "got",
                              Aria2Peer::Options{.address = "127.0.0.3",
                                                 .http_tracker = tracker_.HttpAnnounceUrl(),
                                                 .time_limit = 60s}));
    ASSERT_EQ(leecher.WaitExit(90s), 0) << leecher.LogText();
    EXPECT_TRUE(test::ReadWholeFile(dir_ / "got/c.bin") == bytes_);
}

TEST_F(SwarmFixture, EverySeederIsListedAtItsOwnAddressOverHttpAndUdp) {
    // libtorrent over HTTP, transmission over UDP (it prefers it), aria2c over HTTP only.
    LibtorrentPeer libtorrent;
    ASSERT_TRUE(
        libtorrent.Start(LibtorrentPeer::Role::kSeeder, torrent_, dir_ / "data",
                         LibtorrentPeer::Options{.address = "127.0.0.2", .prefer_http = true}));
    TransmissionPeer transmission;
    ASSERT_TRUE(transmission.Start(torrent_, dir_ / "data", "127.0.0.4"));
    Aria2Peer aria2;
    ASSERT_TRUE(aria2.Start(
        Aria2Peer::Role::kSeeder, torrent_, dir_ / "data",
        Aria2Peer::Options{.address = "127.0.0.3", .http_tracker = tracker_.HttpAnnounceUrl()}));
    ASSERT_TRUE(libtorrent.WaitSeeding(20s)) << libtorrent.LogText();
    EXPECT_TRUE(libtorrent.LogHas("TRACKER_OK " + tracker_.HttpAnnounceUrl()));
    ASSERT_TRUE(transmission.WaitComplete(20s)) << transmission.LogText();
    EXPECT_TRUE(Listed(libtorrent.Endpoint()));
    EXPECT_TRUE(Listed(transmission.Endpoint())) << transmission.Remote({"-t", "all", "-it"});
    EXPECT_TRUE(Listed(aria2.Endpoint())) << aria2.LogText();
    for (const TrackerPeer& peer : tracker_.Peers(hash_)) {
        EXPECT_NE(peer.address, "127.0.0.1") << peer.port;
    }
}

// The scripted hostile peer speaks the wire well enough for a real client to take its blocks:
// they fail their hash.
TEST_F(SwarmFixture, HostilePeerIsUnderstoodByLibtorrent) {
    const std::string data = test::ReadWholeFile(dir_ / "data/c.bin");
    HostilePeer liar(HostilePeer::Behaviour::kWrongData, hash_, data, 1 << 18);
    ASSERT_TRUE(liar.Start("127.0.0.5"));
    LibtorrentPeer victim;
    ASSERT_TRUE(victim.Start(
        LibtorrentPeer::Role::kLeecher, torrent_, dir_ / "got",
        LibtorrentPeer::Options{.address = "127.0.0.6",
                                .connect_to = {"127.0.0.5:" + std::to_string(liar.Endpoint().port)},
                                .time_limit = 30s}));
    EXPECT_TRUE(test::WaitUntil([&] { return victim.LogHas("HASH_FAILED"); }, 20s))
        << victim.LogText();
    EXPECT_GT(liar.BlocksSent(), 0);
}

}  // namespace
}  // namespace kf
