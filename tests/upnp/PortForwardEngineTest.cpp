// The port mapping's outcomes that need no gateway: no free port, and a machine on the Internet.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "engine/upnp/CPortForwardEngine.h"
#include "engine/upnp/PortChoice.h"
#include "engine/upnp/PortForwardEvents.h"
#include "engine/upnp/PortProbe.h"
#include "support/EventRecorder.h"
#include "support/TempDir.h"

namespace kf {
namespace {

// Holds TCP listeners on three ports of the range and excludes every other port.
struct BusyRange {
    BusyRange() {
        for (int32_t port = PortChoice::kFirstPort; port <= PortChoice::kLastPort; ++port) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            const int fd = held.size() < 3 && !PortChoice().IsExcluded(port)
                               ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)
                               : -1;
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                listen(fd, 1) == 0) {
                held.push_back({port, fd});
                continue;
            }
            if (fd >= 0) {
                close(fd);
            }
            excluded.push_back(port);
        }
    }
    ~BusyRange() {
        for (const auto& [port, fd] : held) {
            close(fd);
        }
    }
    std::vector<std::pair<int32_t, int>> held;
    std::vector<int32_t> excluded;
};

TEST(CPortForwardEngine, EveryPortBusyAnswersZeroWithOneFailureEvent) {
    BusyRange busy;
    ASSERT_EQ(busy.held.size(), 3u);
    for (const auto& [port, fd] : busy.held) {
        EXPECT_FALSE(PortProbe::IsTcpPortFree(port)) << port;
    }
    test::TempDir dir;
    EventRecorder events;
    CPortForwardEngine engine;
    PortMapOptions options;
    options.excluded_ports = busy.excluded;
    options.state_path = dir.Path() + "/upnp.port";
    EXPECT_EQ(engine.MapListenPort(options), 0);
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].first, port_forward::kFailedEvent);
    EXPECT_EQ(recorded[0].second, port_forward::kNoPortText);
    EXPECT_EQ(engine.Status().state, PortMapStatus::State::kFailed);
}

TEST(CPortForwardEngine, APublicAddressNeedsNoGatewayAndRemembersThePort) {
    test::TempDir dir;
    EventRecorder events;
    CPortForwardEngine engine;
    PortMapOptions options;
    // The search would go through a public address: this machine is on the Internet itself, so
    // nothing is searched or sent.
    options.multicast_interface = "11.0.0.7";
    options.state_path = dir.Path() + "/upnp.port";
    const int32_t port = engine.MapListenPort(options);
    ASSERT_GE(port, PortChoice::kFirstPort);
    ASSERT_LE(port, PortChoice::kLastPort);
    EXPECT_FALSE(PortChoice().IsExcluded(port));
    const auto status = engine.Wait(std::chrono::milliseconds(0));
    EXPECT_EQ(status.state, PortMapStatus::State::kDirect);
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].first, port_forward::kDirectEvent);
    EXPECT_EQ(recorded[0].second, std::string(port_forward::kDirectText) + "11.0.0.7");

    // The next run starts from the same port.
    EXPECT_EQ(engine.MapListenPort(options), port);
}

}  // namespace
}  // namespace kf
