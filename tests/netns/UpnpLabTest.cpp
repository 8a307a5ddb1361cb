// The port mapping against a real gateway (miniupnpd): run by upnp_netns_test.py inside the
// namespaces it builds, which it names in the environment. Outside that lab every case skips.
//   KF_IGD_CLIENT  our address on the gateway's LAN (the mapping's internal client)
//   KF_IGD_URL     the gateway's root description
//   KF_IGD_REFUSED a port that the gateway's rules refuse to forward
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/upnp/CPortForwardEngine.h"
#include "engine/upnp/PortForwardEvents.h"
#include "engine/upnp/PortForwardHandler.h"
#include "support/EventRecorder.h"

namespace kf {
namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Keeps the progress reports and passes them on to the handler that logs and reports events.
class ProgressLog final : public PortForwardObserver {
  public:
    explicit ProgressLog(PortForwardHandler& handler) : handler_(handler) {}
    void OnProgress(int32_t code, int32_t value) override {
        {
            std::lock_guard lock(mutex_);
            reports_.emplace_back(code, value);
        }
        handler_.OnProgress(code, value);
    }
    std::vector<std::pair<int32_t, int32_t>> Reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }

  private:
    PortForwardHandler& handler_;
    std::mutex mutex_;
    std::vector<std::pair<int32_t, int32_t>> reports_;
};

class UpnpLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Env("KF_IGD_LAB").empty()) {
            GTEST_SKIP() << "runs inside upnp_netns_test.py's namespaces only";
        }
    }
};

TEST_F(UpnpLab, TheGatewayMapsThePortForOurLanAddress) {
    EventRecorder events;
    PortForwardHandler handler([] { return std::string("model"); });
    ProgressLog progress(handler);
    CPortForwardEngine engine(&progress);
    PortMapOptions options;
    options.discovery_delay_ms = 1000;
    options.excluded_ports = {std::atoi(Env("KF_IGD_REFUSED").c_str())};
    const int32_t port = engine.MapListenPort(options);
    ASSERT_NE(port, 0);
    const PortMapStatus status = engine.Wait(std::chrono::seconds(20));
    ASSERT_EQ(status.state, PortMapStatus::State::kMapped) << status.text;
    EXPECT_EQ(status.port, port);
    EXPECT_EQ(status.internal_client, Env("KF_IGD_CLIENT"));
    EXPECT_EQ(status.external_address, "11.0.0.1");
    EXPECT_EQ(engine.DeviceInfo().unique_name.rfind("uuid:", 0), 0u);
    EXPECT_EQ(events.Count(port_forward::kMappedEvent), 1);
    EXPECT_EQ(events.Count(port_forward::kFailedEvent), 0);
    const auto reports = progress.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), std::make_pair(17, 0));
    EXPECT_EQ(reports.back(), std::make_pair(34, 0));
    const std::vector<std::pair<int32_t, int32_t>> mapping(reports.end() - 4, reports.end());
    EXPECT_EQ(mapping,
              (std::vector<std::pair<int32_t, int32_t>>{{33, 0}, {33, 1}, {33, 2}, {34, 0}}));
    engine.Cleanup();
    EXPECT_EQ(engine.Status().state, PortMapStatus::State::kIdle);
}

TEST_F(UpnpLab, ARefusingGatewayGivesTheFoundButFailedText) {
    EventRecorder events;
    CPortForwardEngine engine;
    PortMapOptions options;
    options.root_description_url = Env("KF_IGD_URL");
    options.port = std::atoi(Env("KF_IGD_REFUSED").c_str());
    ASSERT_EQ(engine.MapListenPort(options), options.port);
    const PortMapStatus status = engine.Wait(std::chrono::seconds(20));
    EXPECT_EQ(status.state, PortMapStatus::State::kFailed);
    EXPECT_NE(status.gateway_error, 0);
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0], std::make_pair(std::string(port_forward::kFailedEvent),
                                          std::string(port_forward::kRefusedText)));
}

TEST_F(UpnpLab, NoGatewayFailsWithinTheDelayAndASecond) {
    EventRecorder events;
    CPortForwardEngine engine;
    PortMapOptions options;
    options.discovery_delay_ms = 1500;
    const auto started = Clock::now();
    ASSERT_NE(engine.MapListenPort(options), 0);
    const PortMapStatus status = engine.Wait(std::chrono::seconds(30));
    const auto took = Clock::now() - started;
    EXPECT_EQ(status.state, PortMapStatus::State::kFailed);
    EXPECT_LE(took, std::chrono::milliseconds(options.discovery_delay_ms + 1000));
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0], std::make_pair(std::string(port_forward::kFailedEvent),
                                          std::string(port_forward::kNoDeviceText)));
}

}  // namespace
}  // namespace kf
