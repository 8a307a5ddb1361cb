#include "engine/upnp/CPortForwardEngine.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <system_error>

#include "engine/base/EngineLog.h"
#include "engine/base/EventSink.h"
#include "engine/net/Ipv4Address.h"
#include "engine/upnp/PortChoice.h"
#include "engine/upnp/PortForwardEvents.h"
#include "engine/upnp/PortProbe.h"
#include "engine/upnp/RememberedPort.h"

namespace kf {
namespace {

using State = PortMapStatus::State;

constexpr uint16_t kSsdpPort = 1900;
constexpr const char* kSsdpGroup = "239.255.255.250";

// "http://a.b.c.d:port/..." to the address and port; kNoAddress for a host name.
uint32_t UrlAddress(const std::string& url, uint16_t* port) {
    std::string_view rest = url;
    const size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos) {
        rest.remove_prefix(scheme + 3);
    }
    rest = rest.substr(0, rest.find('/'));
    const size_t colon = rest.find(':');
    *port = 80;
    if (colon != std::string_view::npos) {
        const std::string digits(rest.substr(colon + 1));
        const int value = std::atoi(digits.c_str());
        *port = IsValidPort(value) ? static_cast<uint16_t>(value) : 80;
        rest = rest.substr(0, colon);
    }
    return IsDigitsAndDots(rest) ? ParseDottedAddress(rest) : kNoAddress;
}

// The address this machine would use toward the gateway (or toward the search's group), before
// any search: enough to tell a machine that sits on the Internet itself. kNoAddress when the
// system knows no route; the search then tells.
uint32_t LocalAddressFor(const PortMapOptions& options) {
    if (IsDigitsAndDots(options.multicast_interface)) {
        return ParseDottedAddress(options.multicast_interface);
    }
    uint16_t port = kSsdpPort;
    uint32_t destination = ParseDottedAddress(kSsdpGroup);
    if (!options.root_description_url.empty()) {
        const uint32_t gateway = UrlAddress(options.root_description_url, &port);
        destination = IsValidAddress(gateway) ? gateway : destination;
    }
    return PortProbe::LocalAddressToward(destination, port);
}

uint32_t RandomValue() {
    std::random_device device;
    std::seed_seq seed{
        device(), static_cast<unsigned>(getpid()),
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::mt19937 generator(seed);
    return generator();
}

void NameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace

CPortForwardEngine::CPortForwardEngine(PortForwardObserver* observer)
    : handler_([this] { return DeviceInfo().model_name; }),
      observer_(observer != nullptr ? *observer : handler_) {}

CPortForwardEngine::~CPortForwardEngine() {
    Cleanup();
}

int32_t CPortForwardEngine::MapListenPort(const PortMapOptions& options) {
    std::lock_guard control(control_mutex_);
    if (Status().state == State::kRunning) {
        return 0;
    }
    CleanupLocked();
    PortChoice choice(options.excluded_ports);
    const RememberedPort remembered(options.state_path);
    int32_t port = options.port;
    if (port == 0) {
        port = choice.Choose(remembered.Load(), choice.StartFor(RandomValue()),
                             &PortProbe::IsTcpPortFree);
        if (port == 0) {
            Fail(port_forward::kNoPortText);
            return 0;
        }
        remembered.Store(port);
    } else if (!IsValidPort(port)) {
        return 0;
    }
    {
        std::lock_guard lock(mutex_);
        options_ = options;
        options_.discovery_delay_ms =
            std::clamp(options.discovery_delay_ms, 1, kMaxDiscoveryDelayMs);
        status_ = PortMapStatus{};
        status_.port = port;
        status_.state = State::kRunning;
        request_ = PortMapRequest{};
        request_.external_port = port;
        request_.internal_port = port;
        device_info_ = IgdDeviceInfo{};
        device_done_ = false;
        stopping_ = false;
    }
    const uint32_t local = LocalAddressFor(options);
    if (IsValidAddress(local) && !IsPrivateAddress(local)) {
        const std::string address = DottedText(local);
        SubmitEvent(port_forward::kDirectEvent, std::string(port_forward::kDirectText) + address);
        std::lock_guard lock(mutex_);
        status_.state = State::kDirect;
        status_.internal_client = address;
        changed_.notify_all();
        return port;
    }
    try {
        device_thread_ = std::thread([this] { DeviceThread(); });
    } catch (const std::system_error&) {
        Fail(port_forward::kDeviceThreadFailedText);
        return 0;
    }
    EngineLogWrite("IGD设备信息线程已创建", LogChannel::kStartup);
    try {
        mapping_thread_ = std::thread([this] { MappingThread(); });
    } catch (const std::system_error&) {
        Fail(port_forward::kMappingThreadFailedText);
        JoinThreads();
        return 0;
    }
    EngineLogWrite("uPnP线程已创建", LogChannel::kStartup);
    return port;
}

PortMapStatus CPortForwardEngine::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return status_.state != State::kRunning; });
    return status_;
}

PortMapStatus CPortForwardEngine::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

IgdDeviceInfo CPortForwardEngine::DeviceInfo() const {
    std::lock_guard lock(mutex_);
    return device_info_;
}

void CPortForwardEngine::Cleanup() {
    std::lock_guard control(control_mutex_);
    CleanupLocked();
}

void CPortForwardEngine::CleanupLocked() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    JoinThreads();
    std::unique_ptr<IgdConnection> igd;
    int32_t port = 0;
    {
        std::lock_guard lock(mutex_);
        igd = std::move(igd_);
        port = status_.state == State::kMapped ? status_.port : 0;
        if (status_.state == State::kMapped) {
            status_.state = State::kIdle;
        }
    }
    if (igd != nullptr && port != 0) {
        const int result = igd->DeletePortMapping(port, request_.protocol);
        EngineLogWrite(result == 0 ? "uPnP映射已删除: " + std::to_string(port)
                                   : "uPnP映射删除失败: " + std::to_string(port) + " (" +
                                         std::to_string(result) + ")",
                       LogChannel::kStartup);
    }
}

void CPortForwardEngine::JoinThreads() {
    if (device_thread_.joinable()) {
        device_thread_.join();
    }
    if (mapping_thread_.joinable()) {
        mapping_thread_.join();
    }
}

void CPortForwardEngine::Post(int32_t code, int32_t value) {
    try {
        observer_.OnProgress(code, value);
    } catch (...) {
        // A report is never worth the mapping itself.
    }
}

void CPortForwardEngine::Fail(const char* text) {
    SubmitEvent(port_forward::kFailedEvent, text);
    std::lock_guard lock(mutex_);
    status_.state = State::kFailed;
    status_.text = text;
    changed_.notify_all();
}

void CPortForwardEngine::DeviceThread() {
    NameThisThread("DevInfo");
    std::unique_ptr<IgdConnection> igd;
    IgdDeviceInfo info;
    try {
        Post(port_forward::kDeviceProgress, 0);
        std::string url;
        std::string interface;
        int32_t delay = 0;
        {
            std::lock_guard lock(mutex_);
            url = options_.root_description_url;
            interface = options_.multicast_interface;
            delay = options_.discovery_delay_ms;
        }
        Post(port_forward::kDeviceProgress, 1);
        igd = url.empty() ? IgdConnection::Discover(delay, interface) : IgdConnection::FromUrl(url);
        Post(port_forward::kDeviceProgress, 5);
        if (igd != nullptr) {
            Post(port_forward::kDeviceProgress, 6);
            const auto document = igd->FetchRootDescription();
            const auto parsed = document ? IgdDeviceInfo::Parse(*document) : std::nullopt;
            if (parsed) {
                info = *parsed;
                for (int32_t k = 1; k <= static_cast<int32_t>(IgdDeviceInfo::kFieldCount); ++k) {
                    Post(port_forward::kDeviceProgress,
                         6 + 4 * k / static_cast<int32_t>(IgdDeviceInfo::kFieldCount));
                }
            }
        }
    } catch (...) {
        igd.reset();
    }
    const bool found = igd != nullptr;
    {
        std::lock_guard lock(mutex_);
        device_info_ = std::move(info);
        igd_ = std::move(igd);
    }
    Post(port_forward::kDeviceFinished, found ? 0 : port_forward::kFailure);
    {
        // Set here rather than by whoever watches the reports, so that the mapping never waits
        // on a watcher that is busy elsewhere.
        std::lock_guard lock(mutex_);
        device_done_ = true;
    }
    changed_.notify_all();
}

void CPortForwardEngine::MappingThread() {
    NameThisThread("AddMap");
    IgdConnection* igd = nullptr;
    PortMapRequest request;
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kDeviceWait, [this] { return device_done_ || stopping_; })) {
            lock.unlock();
            Fail(port_forward::kTimedOutText);
            return;
        }
        if (!device_done_) {
            status_.state = State::kFailed;  // clean-up came first
            changed_.notify_all();
            return;
        }
        // The device thread has ended: the connection is this thread's until clean-up joins it.
        igd = igd_.get();
        request = request_;
    }
    Post(port_forward::kMappingProgress, 0);
    int result = -1;
    std::string external;
    try {
        if (igd != nullptr) {
            Post(port_forward::kMappingProgress, 1);
            request.internal_client = igd->LanAddress();
            if (request.internal_client.empty()) {
                Fail(port_forward::kNoLocalAddressText);
                return;
            }
            result = igd->AddPortMapping(request);
            Post(port_forward::kMappingProgress, 2);
            external = result == 0 ? igd->ExternalAddress() : std::string();
        }
    } catch (...) {
        result = -1;
    }
    Post(port_forward::kMappingFinished, result == 0 ? 0 : port_forward::kFailure);
    std::lock_guard lock(mutex_);
    status_.state = result == 0 ? State::kMapped : State::kFailed;
    status_.internal_client = request.internal_client;
    status_.external_address = external;
    status_.gateway_error = igd != nullptr ? result : 0;
    status_.text = result == 0      ? device_info_.friendly_name
                   : igd != nullptr ? port_forward::kRefusedText
                                    : port_forward::kNoDeviceText;
    request_ = request;
    changed_.notify_all();
}

}  // namespace kf
