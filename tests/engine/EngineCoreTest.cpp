#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/AsyncMessage.h"
#include "engine/api/CKestrelfetchCore.h"
#include "engine/base/EngineGlobals.h"
#include "engine/kestrelfetch.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/os/DebugOutput.h"
#include "engine/os/Tick.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPorts.h"
#include "support/RendezvousProcess.h"
#include "support/TempDir.h"

namespace {

using kf::EngineGlobals;

// A task on a server that never answers: enough to start the shared services. `source` must
// outlive the task's creation (a literal).
TaskParams DeadServerTask(const std::string& target, const char* source) {
    TaskParams params;
    std::memset(&params, 0, sizeof(params));
    std::strcpy(params.target_path, target.c_str());
    params.sources = source;
    params.flags = KF_FLAG_FULL_PATH;
    return params;
}

TEST(EngineCore, FirstTaskStartsSharedServicesAndLastTaskSuspendsThem) {
    kf::test::TempDir dir;
    EngineGlobals& globals = EngineGlobals::Instance();
    ASSERT_EQ(InitEngine(nullptr), KF_OK);
    globals.dht_enabled = true;
    globals.half_open_limit = 64;

    TaskParams params = DeadServerTask(dir / "core.bin", "http://127.0.0.1:9/core");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);

    EXPECT_NE(globals.machine_id[0], 0);
    const auto machine_id = globals.machine_id;
    EXPECT_FALSE(globals.dht_enabled);  // the first task takes EnableDht's wish: off here
    EXPECT_FALSE(globals.udp_suspended);
    EXPECT_EQ(globals.half_open_limit, 32);  // no driver file to probe here

    // A name that failed during the session is looked up afresh in the next one.
    kf::HostResolver& resolver = kf::HostResolver::Engine();
    resolver.SetLookupFunction([](const std::string&) {
        return kf::HostLookupAnswer{kf::HostResolver::kHostNotFound, {}};
    });
    EXPECT_EQ(resolver.ResolveHost("gone.example"), kf::kNoAddress);
    resolver.SetLookupFunction(nullptr);
    ASSERT_TRUE(resolver.IsUnresolvable("gone.example"));

    ASSERT_EQ(CleanupEngine(), KF_OK);
    EXPECT_TRUE(globals.udp_suspended);
    EXPECT_FALSE(globals.initialised);
    EXPECT_FALSE(resolver.IsUnresolvable("gone.example"));
    EXPECT_EQ(resolver.UnresolvableCount(), 0u);

    // The machine identifier is made once per process.
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    EXPECT_EQ(globals.machine_id, machine_id);
    ASSERT_EQ(CleanupEngine(), KF_OK);
}

// The DHT runs while it is wished for and a task exists: the wish is taken by the first task and
// at once while tasks run; the last task's going stops it.
TEST(EngineCore, DhtRunsWhileWishedForAndATaskExists) {
    kf::test::TempDir dir;
    ::setenv("KESTRELFETCH_DATA_HOME", dir.Path().c_str(), 1);
    const auto running = [] {
        KfDhtCounters counters{};
        EXPECT_EQ(GetDhtCounters(&counters), KF_OK);
        return counters.running != 0;
    };
    const auto becomes = [&](bool wanted) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (running() != wanted && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return running() == wanted;
    };
    EXPECT_EQ(SetDhtBootstrapNodes("127.0.0.1:9,localhost:10"), KF_OK);
    EXPECT_EQ(SetDhtBootstrapNodes("127.0.0.1:0"), KF_ERR_PARAM);
    EXPECT_EQ(SetDhtBootstrapNodes("127.0.0.1"), KF_ERR_PARAM);
    EXPECT_EQ(GetDhtCounters(nullptr), KF_ERR_PARAM);
    ASSERT_EQ(InitEngine(nullptr), KF_OK);
    ASSERT_EQ(EnableDht(1), KF_OK);
    EXPECT_FALSE(running()) << "no task yet";

    TaskParams params = DeadServerTask(dir / "dht.bin", "http://127.0.0.1:9/dht");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    EXPECT_TRUE(becomes(true));
    ASSERT_EQ(EnableDht(0), KF_OK);
    EXPECT_TRUE(becomes(false));
    ASSERT_EQ(EnableDht(1), KF_OK);
    EXPECT_TRUE(becomes(true));
    ASSERT_EQ(CleanupEngine(), KF_OK);
    EXPECT_TRUE(becomes(false));
    EnableDht(0);
    SetDhtBootstrapNodes(nullptr);
    ::unsetenv("KESTRELFETCH_DATA_HOME");
}

// The engine's UDP endpoint registers with a real kf-rendezvous on loopback and learns its
// external address through the call interface; the endpoint's port follows the listen port.
TEST(EngineCore, RegistersWithTheRendezvousServerAndLearnsTheExternalAddress) {
    kf::test::TempDir dir;
    const int32_t server_port = kf::test::FreeTcpUdpPort("127.0.0.1");
    ASSERT_NE(server_port, 0);
    kf::test::ChildProcess server;
    ASSERT_TRUE(
        kf::test::StartRendezvous(server, "127.0.0.1", server_port, dir / "rendezvous.out"));

    char text[32];
    EXPECT_EQ(GetEngineExternalAddress(text, 8), KF_ERR_PARAM);
    EXPECT_EQ(SetRendezvousServer("127.0.0.1", 0), KF_ERR_PARAM);
    ASSERT_EQ(SetRendezvousServer("127.0.0.1", server_port), KF_OK);
    ASSERT_EQ(SetListenAddress("127.0.0.1"), KF_OK);
    SetListenPort(kf::test::FreeTcpUdpPort("127.0.0.1"));
    ASSERT_EQ(InitEngine(nullptr), KF_OK);

    TaskParams params = DeadServerTask(dir / "udp.bin", "http://127.0.0.1:9/udp");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    int32_t length = 0;
    for (int i = 0; i < 1000 && length <= 0; ++i) {
        length = GetEngineExternalAddress(text, sizeof text);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(length, 0);
    EXPECT_STREQ(text, "127.0.0.1");

    ASSERT_EQ(CleanupEngine(), KF_OK);
    EXPECT_EQ(GetEngineExternalAddress(text, sizeof text), 0);
    SetRendezvousServer(nullptr, 0);
}

// Waits at most 3 s (several listening-services steps) until the multicast socket is `open`.
bool LanBecomes(bool open) {
    const uint64_t until = kf::TickMilliseconds() + 3000;
    while (kf::CKestrelfetchCore::Instance().Swarm().LanOpen() != open &&
           kf::TickMilliseconds() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return kf::CKestrelfetchCore::Instance().Swarm().LanOpen() == open;
}

TEST(EngineCore, MulticastFollowsTheP2PSwitchAndGoesWithTheLastTask) {
    kf::test::TempDir dir;
    ASSERT_EQ(InitEngine(nullptr), KF_OK);
    ASSERT_EQ(SetListenAddress("127.0.0.1"), KF_OK);
    SetListenPort(kf::test::FreeTcpPort());
    ASSERT_EQ(SetLanInterface("127.0.0.1"), KF_OK);
    EnableLanDiscovery(1);
    EnableP2P(0);

    TaskParams params = DeadServerTask(dir / "lan.bin", "http://127.0.0.1:9/lan");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    EXPECT_TRUE(LanBecomes(false));
    EnableP2P(1);
    EXPECT_TRUE(LanBecomes(true));
    EnableP2P(0);
    EXPECT_TRUE(LanBecomes(false));
    EnableP2P(1);
    EXPECT_TRUE(LanBecomes(true));
    ASSERT_EQ(CleanupEngine(), KF_OK);
    EXPECT_FALSE(kf::CKestrelfetchCore::Instance().Swarm().LanOpen());
    EnableP2P(0);
    EnableLanDiscovery(0);
    SetListenAddress(nullptr);
    SetListenPort(0);
}

TEST(EngineCore, SwitchesAndListenPort) {
    EngineGlobals& globals = EngineGlobals::Instance();
    EXPECT_EQ(SetListenPort(0), KF_OK);
    EXPECT_EQ(globals.EffectiveListenPort(), 8080);
    EXPECT_EQ(SetListenPort(16881), KF_OK);
    EXPECT_EQ(globals.EffectiveListenPort(), 16881);
    EXPECT_EQ(EnableP2P(5), KF_OK);
    EXPECT_TRUE(globals.p2p_enabled);
    EXPECT_EQ(EnableP2P(0), KF_OK);
    EXPECT_FALSE(globals.p2p_enabled);
    SetHttpWrappedHandshake(1);
    EXPECT_TRUE(globals.http_wrapped_handshake);
    SetHttpWrappedHandshake(0);
    SetListenPort(0);
}

TEST(AsyncMessage, ShowsOnItsOwnThreadWithoutWaitingForTheUser) {
    std::mutex mutex;
    std::vector<std::string> shown;
    std::string log_line;
    kf::SetDebugOutputCapture([&](std::string_view line) {
        std::lock_guard<std::mutex> hold(mutex);
        log_line = line;
    });
    CreateEngineLog();
    // Without a window the message reaches the log; with a presenter it goes there instead.
    EXPECT_EQ(ShowMessageAsync(nullptr, "disk is full", "Kestrelfetch", 0), 1);
    kf::AsyncMessage::JoinAll();
    {
        std::lock_guard<std::mutex> hold(mutex);
        EXPECT_NE(log_line.find("[Kestrelfetch: disk is full]"), std::string::npos);
    }

    kf::AsyncMessage::SetPresenter(
        [&](void*, const std::string& text, const std::string& caption, uint32_t type) {
            std::lock_guard<std::mutex> hold(mutex);
            shown.push_back(caption + "|" + text + "|" + std::to_string(type));
        });
    std::string text = "copied before the caller changes it";
    EXPECT_EQ(ShowMessageAsync(nullptr, text.c_str(), nullptr, 48), 1);
    text.assign(text.size(), '#');
    EXPECT_EQ(ShowMessageAsync(nullptr, nullptr, "empty", 0), 1);
    kf::AsyncMessage::JoinAll();
    kf::AsyncMessage::SetPresenter({});
    kf::SetDebugOutputCapture({});
    ReleaseEngineLog();

    std::sort(shown.begin(), shown.end());
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], "empty||0");
    EXPECT_EQ(shown[1], "|copied before the caller changes it|48");
}

}  // namespace
