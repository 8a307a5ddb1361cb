// Opening connections: outgoing by address or by name (directly or through a proxy), listening and
// accepting.
#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/ProxyProtocol.h"
#include "engine/net/QSocket.h"

namespace kf {
namespace {

using WaitFor = SocketTransport::WaitFor;

bool HostFitsProxyRequest(std::string_view host) {
    if (host.size() > kMaxSocksField) {
        return false;
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte != 0x7F;
    });
}

}  // namespace

bool QSocket::OpenHandle(const NodeId* node_id) {
    transport_ = node_id != nullptr ? TunnelTransport() : SystemTransport();
    if (transport_ == nullptr) {
        return false;
    }
    const SocketTransport::Result opened = transport_->Open();
    if (!opened.Ok()) {
        transport_.reset();
        return false;
    }
    handle_ = static_cast<int32_t>(opened.value);
    use_udp_transport_ = transport_->IsTunnel();
    return true;
}

void QSocket::FillIdentity(const NodeId& node_id) {
    std::copy(node_id.begin(), node_id.end(), identity_.begin());
    identity_[8] = 'U';
    identity_[9] = 'D';
    identity_[10] = 'P';
    identity_[11] = 0;
    identity_[12] = 0;
}

bool QSocket::ConnectTo(uint32_t remote_ip, int32_t remote_port, bool blocking,
                        const QProxyConfig* proxy, uint32_t bind_ip, const NodeId* node_id) {
    Close();
    proxy_failure_.clear();
    if (!IsValidAddress(remote_ip) || remote_port < 1 || remote_port > 65535) {
        return false;
    }
    remote_ip_ = remote_ip;
    remote_port_ = remote_port;
    if (!OpenHandle(node_id)) {
        Close();
        return false;
    }
    blocking_ = blocking;

    SocketAddress destination{remote_ip, remote_port, {}};
    if (node_id != nullptr) {
        destination.node_id = *node_id;
    }
    proxy_ = proxy != nullptr ? *proxy : EngineProxyConfig();
    proxy_done_ = use_udp_transport_ || !proxy_.IsUsable();
    if (!proxy_done_) {
        destination = SocketAddress{proxy_.address, proxy_.port, {}};
        names_given_ = !proxy_.target.empty();
        proxy_target_ =
            names_given_ ? proxy_.target : HttpProxyTarget(DottedText(remote_ip), remote_port);
    }
    proxy_.target.clear();

    // A tunnel leaves from the UDP endpoint's own address; only a TCP socket binds.
    if (!use_udp_transport_ && IsValidAddress(bind_ip) &&
        !transport_->Bind(handle_, SocketAddress{bind_ip, 0, {}}).Ok()) {
        Close();
        return false;
    }
    const SocketTransport::Result connected = transport_->Connect(handle_, destination);
    if (!connected.Ok() && !connected.WouldBlock()) {
        Close();
        return false;
    }
    connect_time_ = NowSeconds();
    if (connected.WouldBlock() && !blocking_) {
        return true;  // in progress: IsEstablished finishes the job
    }
    if (connected.WouldBlock() && transport_->Wait(handle_, WaitFor::kWritable, -1) < 0) {
        Close();
        return false;
    }
    // Connected (or done waiting): the completion check records the local end and runs the proxy
    // handshake. A connect that reported success at once is complete even if the socket is not
    // writable this very moment, so only a closed object counts as failure then.
    if (!IsEstablished() && (blocking_ || handle_ < 0)) {
        Close();
        return false;
    }
    return handle_ >= 0;
}

bool QSocket::ConnectByName(std::string_view host, int32_t remote_port, bool blocking,
                            const QProxyConfig* proxy, uint32_t bind_ip, const NodeId* node_id) {
    proxy_failure_.clear();
    if (host.empty()) {
        Close();
        return false;
    }
    QProxyConfig config = proxy != nullptr ? *proxy : EngineProxyConfig();
    uint32_t target = kNoAddress;
    if (node_id == nullptr && config.IsUsable() && config.remote_names &&
        config.type != QProxyConfig::kSocks4) {
        // The name goes into the proxy request; a name that cannot be written there is refused.
        if (!HostFitsProxyRequest(host)) {
            Close();
            return false;
        }
        target = config.address;
        config.target = config.type == QProxyConfig::kHttp ? HttpProxyTarget(host, remote_port)
                                                           : std::string(host);
    } else {
        target = ResolveHost(host);
    }
    if (!ConnectTo(target, remote_port, blocking, &config, bind_ip, node_id)) {
        return false;
    }
    host_text_ = std::string(host);
    return true;
}

bool QSocket::Listen(int32_t port, uint32_t local_ip, const NodeId* node_id) {
    Close();
    if (port < 0 || port > 65535) {
        return false;
    }
    const bool any_address = !IsValidAddress(local_ip);
    if (!OpenHandle(node_id)) {
        Close();
        return false;
    }
    const int32_t backlog = use_udp_transport_ ? kTunnelListenBacklog : kListenBacklog;
    SocketAddress local{any_address ? 0u : local_ip, port, {}};
    if (node_id != nullptr) {
        local.node_id = *node_id;
    }
    SocketAddress bound;
    if (!transport_->Bind(handle_, local).Ok() || !transport_->Listen(handle_, backlog).Ok() ||
        !transport_->LocalName(handle_, bound).Ok()) {
        Close();
        return false;
    }
    local_ip_ = any_address ? LocalAddress() : local_ip;
    local_port_ = bound.port;
    listening_ = true;
    connect_time_ = NowSeconds();
    return true;
}

std::unique_ptr<QSocket> QSocket::Accept() {
    if (handle_ < 0 || !listening_) {
        return nullptr;
    }
    if (blocking_) {
        transport_->Wait(handle_, WaitFor::kReadable, -1);
    }
    SocketAddress peer;
    const SocketTransport::Result accepted = transport_->Accept(handle_, peer);
    if (!accepted.Ok()) {
        if (!accepted.WouldBlock() && !use_udp_transport_) {
            Close();
        }
        return nullptr;
    }
    std::unique_ptr<QSocket> connection;
    try {
        connection = std::make_unique<QSocket>(pool_);
        connection->host_text_ = DottedText(peer.ip);
    } catch (...) {
        transport_->Close(static_cast<int32_t>(accepted.value));
        return nullptr;
    }
    const int64_t now = NowSeconds();
    connection->transport_ = transport_;
    connection->handle_ = static_cast<int32_t>(accepted.value);
    connection->use_udp_transport_ = use_udp_transport_;
    connection->remote_ip_ = peer.ip;
    connection->remote_port_ = peer.port;
    connection->proxy_done_ = true;
    connection->established_ = true;
    connection->local_ip_ = local_ip_;
    connection->local_port_ = local_port_;
    connection->established_time_ = now;
    connection->connect_time_ = now;
    connection->FillIdentity(peer.node_id);
    return connection;
}

bool QSocket::IsEstablished() {
    if (handle_ < 0 || listening_ || remote_ip_ == 0) {
        return false;
    }
    if (established_) {
        return true;
    }
    const int32_t ready = transport_->Wait(handle_, WaitFor::kWritable, 0);
    if (ready == 0) {
        return false;
    }
    // Writable also reports a connect that failed; the pending error tells them apart.
    if (ready < 0 || transport_->PendingError(handle_) != 0) {
        Close();
        return false;
    }
    established_ = true;
    established_time_ = NowSeconds();
    SocketAddress local;
    if (transport_->LocalName(handle_, local).Ok()) {
        local_ip_ = local.ip;
        local_port_ = local.port;
    }
    FillIdentity(local.node_id);
    if (!proxy_done_ && !proxy_request_sent_ && !RunProxyHandshake()) {
        proxy_failure_ = "the proxy did not take the request";
        Close();
        return false;
    }
    return true;
}

}  // namespace kf
