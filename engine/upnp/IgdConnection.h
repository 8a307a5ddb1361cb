#pragma once

#include <miniupnpc/miniupnpc.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/upnp/PortMapRequest.h"

namespace kf {

// A gateway found on the LAN (an Internet gateway device with a WAN connection service) and the
// control calls the port mapping needs, through libminiupnpc.
//
// Owner and threads: made by Discover or FromUrl and owned by one thread at a time; no lock of its
// own. Every call blocks: discovery for its delay, each control call for one HTTP exchange with the
// gateway (bounded by libminiupnpc's socket time-outs).
// Results: null when no gateway answered; the control calls answer 0 or the gateway's UPnP error
// code (or a negative libminiupnpc code).
// Limits and trust: the root description is read up to IgdDeviceInfo::kMaxDocumentBytes; what the
// gateway answers is untrusted and only passed on as text.
class IgdConnection {
  public:
    static constexpr const char* kDeviceType =
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

    // SSDP search for the gateway on `multicast_interface` (an address or an interface name;
    // empty: the system's choice), answering after `delay_ms` at the latest.
    static std::unique_ptr<IgdConnection> Discover(int32_t delay_ms,
                                                   const std::string& multicast_interface);
    // The gateway whose root description is at `url`, without a search.
    static std::unique_ptr<IgdConnection> FromUrl(const std::string& url);

  private:
    // Only Discover and FromUrl can name the tag.
    struct Made {
        explicit Made() = default;
    };

  public:
    explicit IgdConnection(Made) {}
    IgdConnection(const IgdConnection&) = delete;
    IgdConnection& operator=(const IgdConnection&) = delete;
    ~IgdConnection();

    // The local address that reached the gateway: our client address on its LAN.
    const std::string& LanAddress() const { return lan_address_; }
    const std::string& RootDescriptionUrl() const { return root_description_url_; }
    // The root description document, or nothing when it cannot be fetched or is too large.
    std::optional<std::string> FetchRootDescription() const;
    // The gateway's WAN address, or empty.
    std::string ExternalAddress() const;
    int AddPortMapping(const PortMapRequest& request) const;
    int DeletePortMapping(int32_t external_port, const std::string& protocol) const;

  private:
    // Fills the members after libminiupnpc found a gateway (`found` is its answer).
    static std::unique_ptr<IgdConnection> Finish(std::unique_ptr<IgdConnection> igd, int found,
                                                 const char* lan_address);

    UPNPUrls urls_{};
    IGDdatas data_{};
    std::string lan_address_;
    std::string root_description_url_;
};

}  // namespace kf
