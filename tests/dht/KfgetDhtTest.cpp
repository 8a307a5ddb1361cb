// kfget with the DHT among 20 libtorrent DHT nodes on loopback: it joins through them, finds node
// 0's seeder of a torrent without trackers, completes, and announces itself, and each side
// answers the other's queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LibtorrentDhtRing.h"
#include "support/LoopbackPorts.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::LibtorrentDhtRing;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";
constexpr const char* kAddress = "127.0.0.60";

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The reply to one raw query from ring node `node`, as text ("" when none came).
std::string Ask(LibtorrentDhtRing& ring, int node, const std::string& endpoint,
                const std::string& query) {
    const auto reply = ring.Query(node, endpoint, Bytes(query), 5s);
    return reply ? std::string(reply->begin(), reply->end()) : std::string();
}

TEST(KfgetDht, FindsTheSeederThroughLibtorrentNodesAndAnnouncesItself) {
    if (!LibtorrentDhtRing::Available() || !test::HaveMktorrent()) {
        GTEST_SKIP() << "needs python3-libtorrent and mktorrent (scripts/install-deps)";
    }
    test::TempDir dir;
    std::filesystem::create_directories(dir / "data");
    const std::string bytes = test::RandomBytes(3 * 1024 * 1024 + 77, 1717);
    ASSERT_TRUE(test::WriteFile(dir / "data/d.bin", bytes));
    const std::string torrent = dir / "d.torrent";
    // No tracker at all: the DHT is the only way to the seeder.
    ASSERT_FALSE(test::MakeTrackerlessTorrent(dir / "data/d.bin", 16, torrent).empty());
    const std::string info_hash = test::TorrentInfoHashHex(test::ReadWholeFile(torrent));
    LibtorrentDhtRing ring;
    ASSERT_TRUE(ring.Start({.nodes = 20, .seed_torrent = torrent, .seed_data_dir = dir / "data"}))
        << ring.LogText();

    const int32_t port = test::FreeTcpUdpPort(kAddress);
    const std::string endpoint = std::string(kAddress) + ":" + std::to_string(port);
    test::ChildProcess kfget;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        kfget.Start({"/usr/bin/env", "KESTRELFETCH_DATA_HOME=" + dir.Path(), kKfget, "--torrent",
                     torrent, "--file", dir / "got.bin", "--bind", kAddress, "--listen-port",
                     std::to_string(port), "--dht-bootstrap", ring.BootstrapText(), "--sha1",
                     test::Sha1Hex(bytes), "--seed", "--timeout", "150", "-v"},
                    dir / "kfget.log"));
    const auto log = [&] { return test::ReadWholeFile(dir / "kfget.log"); };
    ASSERT_TRUE(
        test::WaitUntil([&] { return log().find("download complete") != std::string::npos; }, 60s))
        << log() << ring.LogText();
    std::printf("complete after %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    EXPECT_EQ(test::ReadWholeFile(dir / "got.bin"), bytes);

    // Its announce reached the ring: a libtorrent node's get_peers returns its listen port. The
    // announce follows the lookup's get_peers round, which may end after the download did.
    int round = 0;
    std::string held;  // what the last node asked returned, for the failure message
    const bool announced = test::WaitUntil(
        [&] {
            const auto lookup = ring.GetPeers(10 + round++ % 10, info_hash, 10s);
            held.clear();
            for (const std::string& peer : lookup ? lookup->peers : std::vector<std::string>{}) {
                held += peer + " ";
            }
            return held.find(endpoint + " ") != std::string::npos;
        },
        40s);
    EXPECT_TRUE(announced) << "no libtorrent node knows " << endpoint << "; they hold " << held;
    std::printf("announced after %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    // Both ways, every query kind was answered (the table's own walks start with its periodic
    // pass, so find_node may come a few seconds after the download).
    std::map<std::string, int> ours_answered;
    std::map<std::string, int> theirs_answered;
    const auto all_kinds = [&] {
        ours_answered.clear();
        theirs_answered.clear();
        for (int node = 0; node < 20; ++node) {
            if (const auto traffic = ring.TrafficWith(node, endpoint, 5s)) {
                for (const auto& [name, count] : traffic->replies_in) {
                    theirs_answered[name] += count;  // our replies to the node's queries
                }
                for (const auto& [name, count] : traffic->queries_in) {
                    ours_answered[name] += count;  // our queries, which the node answered
                }
            }
        }
        return ours_answered["ping"] > 0 && ours_answered["find_node"] > 0 &&
               ours_answered["get_peers"] > 0 && ours_answered["announce_peer"] > 0 &&
               theirs_answered["get_peers"] > 0;
    };
    EXPECT_TRUE(test::WaitUntil(all_kinds, 30s));
    for (const char* name : {"ping", "find_node", "get_peers", "announce_peer"}) {
        EXPECT_GT(ours_answered[name], 0) << name << " from kfget";
    }
    EXPECT_GT(theirs_answered["get_peers"], 0) << "get_peers from libtorrent";
    // Queries of every kind from ring nodes' addresses, announce_peer with the token kfget gave.
    // Each address asks at most twice: kfget answers an address five times a second, and the
    // ring node there may be asking too.
    const std::string id = "d2:id20:" + std::string(20, 'L');
    const std::string hash = "9:info_hash20:" + std::string(20, 'H');
    EXPECT_NE(
        Ask(ring, 4, endpoint, "d1:a" + id + "e1:q4:ping1:t2:p11:y1:qe").find("1:t2:p11:y1:re"),
        std::string::npos);
    EXPECT_NE(
        Ask(ring, 5, endpoint,
            "d1:a" + id + "6:target20:" + std::string(20, 'T') + "e1:q9:find_node1:t2:f11:y1:qe")
            .find("5:nodes"),
        std::string::npos);
    const std::string peers =
        Ask(ring, 3, endpoint, "d1:a" + id + hash + "e1:q9:get_peers1:t2:g11:y1:qe");
    const size_t token_at = peers.find("5:token20:");
    ASSERT_NE(token_at, std::string::npos) << peers;
    const std::string token = peers.substr(token_at + 10, 20);
    const std::string announce = "d1:a" + id + hash + "4:porti6881e5:token20:";
    EXPECT_NE(Ask(ring, 3, endpoint, announce + token + "e1:q13:announce_peer1:t2:a11:y1:qe")
                  .find("1:t2:a11:y1:re"),
              std::string::npos);
    EXPECT_NE(Ask(ring, 6, endpoint,
                  announce + std::string(20, 'x') + "e1:q13:announce_peer1:t2:a21:y1:qe")
                  .find("Invalid Write Token!"),
              std::string::npos);
    kfget.Stop();
}

}  // namespace
}  // namespace kf
