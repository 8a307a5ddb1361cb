// The proxy side of QSocket: the handshake sent once the connection to the proxy is up, and the
// examination of the proxy's reply at the front of the receive buffer.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLog.h"
#include "engine/net/ProxyProtocol.h"
#include "engine/net/QSocket.h"
#include "engine/os/Tick.h"

namespace kf {

namespace {

using WaitFor = SocketTransport::WaitFor;

std::span<const uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

bool QSocket::SendAllWithin(std::span<const uint8_t> bytes, int32_t timeout_ms) {
    const uint64_t deadline = TickMilliseconds() + static_cast<uint64_t>(std::max(timeout_ms, 0));
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int64_t written = WriteRaw(bytes.subspan(sent));
        if (written < 0) {
            return false;
        }
        sent += static_cast<size_t>(written);
        if (sent == bytes.size()) {
            break;
        }
        const uint64_t now = TickMilliseconds();
        if (now >= deadline || transport_->Wait(handle_, WaitFor::kWritable,
                                                static_cast<int32_t>(deadline - now)) != 1) {
            return false;
        }
    }
    return true;
}

bool QSocket::ReadExactlyWithin(std::span<uint8_t> bytes, int32_t timeout_ms) {
    const uint64_t deadline = TickMilliseconds() + static_cast<uint64_t>(std::max(timeout_ms, 0));
    size_t got = 0;
    while (got < bytes.size()) {
        const uint64_t now = TickMilliseconds();
        if (now >= deadline || transport_->Wait(handle_, WaitFor::kReadable,
                                                static_cast<int32_t>(deadline - now)) != 1) {
            return false;
        }
        const int64_t read = ReadRaw(bytes.subspan(got));
        if (read < 0) {
            return false;
        }
        got += static_cast<size_t>(read);
    }
    return true;
}

bool QSocket::RunProxyHandshake() {
    const int32_t timeout_seconds = proxy_.EffectiveTimeout();
    // The SOCKS waits use half the time-out each; milliseconds keep a 1-second time-out useful.
    const int32_t half_ms = timeout_seconds * 500;
    bool ok = false;
    switch (proxy_.type) {
        case QProxyConfig::kHttp:
            ok = HttpHandshake(timeout_seconds);
            break;
        case QProxyConfig::kSocks4:
        case QProxyConfig::kSocks4a:
            ok = Socks4Handshake(half_ms);
            break;
        case QProxyConfig::kSocks5:
            ok = Socks5Handshake(half_ms);
            break;
        default:
            ok = false;
            break;
    }
    proxy_target_.clear();
    return ok;
}

bool QSocket::HttpHandshake(int32_t timeout_seconds) {
    if (proxy_.no_tunnel) {
        proxy_done_ = true;
        return true;
    }
    QProxyConfig request_config = proxy_;
    request_config.target = proxy_target_;
    const std::optional<std::string> request = BuildHttpProxyRequest(request_config, false);
    if (!request) {
        return false;
    }
    if (EngineLogWants(LogChannel::kRequest)) {
        if (const std::optional<std::string> masked = BuildHttpProxyRequest(request_config, true)) {
            EngineLogWrite("Proxy request: " + *masked, LogChannel::kRequest);
        }
    }
    proxy_request_sent_ = SendAllWithin(AsBytes(*request), timeout_seconds * 1000);
    return proxy_request_sent_;
}

bool QSocket::Socks4Handshake(int32_t half_ms) {
    if (proxy_target_.empty() || remote_port_ == 0) {
        return false;
    }
    const bool send_name =
        proxy_.type == QProxyConfig::kSocks4a && names_given_ && proxy_.remote_names;
    const std::optional<std::vector<uint8_t>> request =
        BuildSocks4Request(remote_ip_, remote_port_, send_name ? proxy_target_ : std::string());
    if (!request) {
        return false;
    }
    proxy_request_sent_ = SendAllWithin(*request, half_ms);
    return proxy_request_sent_;
}

bool QSocket::Socks5Handshake(int32_t half_ms) {
    const bool with_credentials = !proxy_.user.empty();
    std::array<uint8_t, 2> answer{};
    if (!SendAllWithin(BuildSocks5MethodOffer(with_credentials), half_ms) ||
        !ReadExactlyWithin(answer, half_ms) || answer[1] != (with_credentials ? 2 : 0)) {
        return false;
    }
    if (with_credentials) {
        const std::optional<std::vector<uint8_t>> credentials =
            BuildSocks5Credentials(proxy_.user, proxy_.password);
        if (!credentials || !SendAllWithin(*credentials, half_ms) ||
            !ReadExactlyWithin(answer, half_ms) || answer[1] != 0) {
            return false;
        }
    }
    const bool send_name = names_given_ && proxy_.remote_names;
    const std::optional<std::vector<uint8_t>> request =
        BuildSocks5Connect(remote_ip_, remote_port_, send_name ? proxy_target_ : std::string());
    if (!request) {
        return false;
    }
    proxy_request_sent_ = SendAllWithin(*request, half_ms);
    return proxy_request_sent_;
}

int32_t QSocket::ProgressProxyReply() {
    const ProxyReplyVerdict verdict = ParseProxyReply(proxy_.type, Received());
    switch (verdict.status) {
        case ProxyReplyStatus::kNeedMore:
            return 0;
        case ProxyReplyStatus::kFailed:
            return -1;
        case ProxyReplyStatus::kDone:
            break;
    }
    proxy_done_ = true;
    connect_time_ = NowSeconds();
    // With a verb other than CONNECT the reply is the response itself and stays for the owner.
    if (proxy_.type != QProxyConfig::kHttp || proxy_.VerbIsConnect()) {
        Consume(static_cast<int32_t>(verdict.consumed), false);
    }
    return 1;
}

}  // namespace kf
