#include "engine/upnp/IgdConnection.h"

#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdlib>

#include "engine/upnp/IgdDeviceInfo.h"

namespace kf {
namespace {

// libminiupnpc's device list, freed on every way out.
struct DeviceListDeleter {
    void operator()(UPNPDev* list) const { freeUPNPDevlist(list); }
};

// A buffer that libminiupnpc allocated with malloc.
struct FreeDeleter {
    void operator()(void* bytes) const { std::free(bytes); }
};

constexpr int kLanAddressBytes = 64;
// Hops for the search: the gateway is on this link or one behind.
constexpr unsigned char kSearchTtl = 2;

}  // namespace

IgdConnection::~IgdConnection() {
    FreeUPNPUrls(&urls_);
}

std::unique_ptr<IgdConnection> IgdConnection::Discover(int32_t delay_ms,
                                                       const std::string& multicast_interface) {
    int error = 0;
    // One device type only: libminiupnpc waits the full delay for each type it searches.
    std::unique_ptr<UPNPDev, DeviceListDeleter> devices(upnpDiscoverDevice(
        kDeviceType, delay_ms, multicast_interface.empty() ? nullptr : multicast_interface.c_str(),
        nullptr, UPNP_LOCAL_PORT_ANY, 0, kSearchTtl, &error));
    if (devices == nullptr) {
        return nullptr;
    }
    auto igd = std::make_unique<IgdConnection>(Made{});
    char lan_address[kLanAddressBytes] = "";
    const int found =
        UPNP_GetValidIGD(devices.get(), &igd->urls_, &igd->data_, lan_address, sizeof(lan_address));
    return Finish(std::move(igd), found, lan_address);
}

std::unique_ptr<IgdConnection> IgdConnection::FromUrl(const std::string& url) {
    auto igd = std::make_unique<IgdConnection>(Made{});
    char lan_address[kLanAddressBytes] = "";
    const int found =
        UPNP_GetIGDFromUrl(url.c_str(), &igd->urls_, &igd->data_, lan_address, sizeof(lan_address));
    return Finish(std::move(igd), found, lan_address);
}

std::unique_ptr<IgdConnection> IgdConnection::Finish(std::unique_ptr<IgdConnection> igd, int found,
                                                     const char* lan_address) {
    // 1: a connected gateway, 2: a gateway whose WAN side is down (it may still forward once it
    // comes up); 3 is some other UPnP device, which has no mapping service.
    if ((found != 1 && found != 2) || igd->urls_.controlURL == nullptr ||
        igd->urls_.controlURL[0] == '\0') {
        return nullptr;
    }
    igd->lan_address_ = lan_address;
    igd->root_description_url_ = igd->urls_.rootdescURL != nullptr ? igd->urls_.rootdescURL : "";
    return igd;
}

std::optional<std::string> IgdConnection::FetchRootDescription() const {
    int size = 0;
    int status = 0;
    std::unique_ptr<char, FreeDeleter> bytes(
        static_cast<char*>(miniwget(root_description_url_.c_str(), &size, 0, &status)));
    if (bytes == nullptr || status != 200 || size <= 0 ||
        static_cast<size_t>(size) > IgdDeviceInfo::kMaxDocumentBytes) {
        return std::nullopt;
    }
    return std::string(bytes.get(), static_cast<size_t>(size));
}

std::string IgdConnection::ExternalAddress() const {
    char address[40] = "";
    if (UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, address) !=
        UPNPCOMMAND_SUCCESS) {
        return {};
    }
    return address;
}

int IgdConnection::AddPortMapping(const PortMapRequest& request) const {
    const std::string external = std::to_string(request.external_port);
    const std::string internal = std::to_string(request.internal_port);
    // Lease 0: for as long as the gateway keeps it; the engine removes it at clean-up.
    return UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, external.c_str(),
                               internal.c_str(), request.internal_client.c_str(),
                               request.description.c_str(), request.protocol.c_str(), nullptr, "0");
}

int IgdConnection::DeletePortMapping(int32_t external_port, const std::string& protocol) const {
    const std::string external = std::to_string(external_port);
    return UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, external.c_str(),
                                  protocol.c_str(), nullptr);
}

}  // namespace kf
