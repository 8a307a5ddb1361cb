#include "engine/peers/TPeerId.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/AddressText.h"
#include "engine/peers/SourceResolver.h"

namespace kf {

namespace {

constexpr std::string_view kFtpPrefix = "ftp://";
constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kTrackerPrefix = "tracker://";
constexpr std::string_view kBtNodePrefix = "btnode://";
constexpr int32_t kDefaultFtpPort = 21;
constexpr int32_t kDefaultHttpPort = 80;

// Leading decimal digits; stops growing past 65535 so that any longer number stays invalid.
int32_t ParsePort(std::string_view text) {
    int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + (c - '0');
        if (value > 65535) {
            return 65536;
        }
    }
    return value;
}

// Splits "host[:port]" at the first ":".
void SplitHostPort(std::string_view text, int32_t default_port, std::string& host, int32_t& port) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        host.assign(text);
        port = default_port;
        return;
    }
    host.assign(text.substr(0, colon));
    port = ParsePort(text.substr(colon + 1));
}

// Bytes that would end or break a request line (FTP command, tracker request) once decoded.
bool HasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<uint8_t>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace

TPeerId::TPeerId() {
    Reset();
}

TPeerId::TPeerId(std::string url_text) {
    Reset();
    url = std::move(url_text);
}

void TPeerId::Reset() {
    kind = PeerKind::None;
    resolved = false;
    unresolvable = false;
    port = 0;
    penalty = 0;
    weight = 1;
    role = 0;
    attempts = 0;
    spare = 0;
    connections = 0;
    whole_pieces = 0;
    reconnects = 0;
    max_connections = 1;
    peer_id.fill(0);
    url.clear();
    ip = kNoAddress;
    last_attach_time = 0;
    transport = kTransportUdp;
    announced = false;
    wrapper_refused = false;
    url_info_.reset();
}

RefPtr<TPeerId> TPeerId::Copy() const {
    RefPtr<TPeerId> copy = RefPtr<TPeerId>::Make();
    copy->kind = kind;
    copy->resolved = resolved;
    copy->unresolvable = unresolvable;
    copy->port = port;
    copy->penalty = penalty;
    copy->weight = weight;
    copy->role = role;
    copy->attempts = attempts;
    copy->spare = spare;
    copy->connections = connections;
    copy->whole_pieces = whole_pieces;
    copy->reconnects = reconnects;
    copy->max_connections = max_connections;
    copy->peer_id = peer_id;
    copy->url = url;
    copy->ip = ip;
    copy->last_attach_time = last_attach_time;
    copy->transport = transport;
    copy->announced = announced;
    copy->wrapper_refused = wrapper_refused;
    if (url_info_ != nullptr) {
        copy->url_info_ = std::make_unique<TPeerUrlInfo>(*url_info_);
    }
    return copy;
}

TPeerUrlInfo& TPeerId::UrlInfo() {
    if (url_info_ == nullptr) {
        url_info_ = std::make_unique<TPeerUrlInfo>();
    }
    return *url_info_;
}

const TPeerUrlInfo& TPeerId::UrlInfo() const {
    if (url_info_ == nullptr) {
        url_info_ = std::make_unique<TPeerUrlInfo>();
    }
    return *url_info_;
}

bool TPeerId::IsValid() const {
    return port >= 1 && port <= 65535 && ((ip != 0 && ip != kNoAddress) || ConnectsByName());
}

bool TPeerId::ConnectsByName() const {
    return NameMayGoToProxy() && HasUrlInfo() && url_info_->remote_name;
}

bool TPeerId::NameMayGoToProxy() const {
    return IsServerSource() || (kind == PeerKind::Tracker && transport == kTransportTcp);
}

bool TPeerId::ParseSourceAddress(bool proxy_resolves_names) {
    return ParseSourceText() && ResolveSource(proxy_resolves_names);
}

bool TPeerId::ParseSourceText() {
    std::replace(url.begin(), url.end(), '\\', '/');
    if (StartsWithIgnoreCase(url, kHttpPrefix)) {
        url = EscapeHttpUrl(url);
    } else {
        url = PercentDecode(url);
        // Decoded CR, LF or NUL would reach an FTP command or a tracker request line.
        if (HasControlBytes(url)) {
            return false;
        }
    }

    const std::string_view text = url;
    bool understood = false;
    if (StartsWithIgnoreCase(text, kFtpPrefix)) {
        understood = ParseFtp(text.substr(kFtpPrefix.size()));
    } else if (StartsWithIgnoreCase(text, kHttpPrefix)) {
        understood = ParseHttp(text.substr(kHttpPrefix.size()));
    } else if (StartsWithIgnoreCase(text, kTrackerPrefix)) {
        understood = ParseTracker(text.substr(kTrackerPrefix.size()));
    } else if (StartsWithIgnoreCase(text, kBtNodePrefix)) {
        understood = ParseBtNode(text.substr(kBtNodePrefix.size()));
    }
    return understood;
}

bool TPeerId::ResolveSource(bool proxy_resolves_names) {
    if (kind != PeerKind::BtNode && !ResolveHost()) {
        if (!proxy_resolves_names || !NameMayGoToProxy()) {
            return false;
        }
        unresolvable = false;
        UrlInfo().remote_name = true;
    }
    resolved = true;
    if (IsServerSource()) {
        TakeFileName();
    }
    return true;
}

bool TPeerId::ParseFtp(std::string_view rest) {
    TPeerUrlInfo& info = UrlInfo();
    // The last "@" ends the log-in part: host names never hold one, while a decoded password may.
    const size_t at = rest.rfind('@');
    if (at == std::string_view::npos) {
        info.user = "anonymous";
        info.password = kAnonymousFtpPassword;
    } else {
        const std::string_view login = rest.substr(0, at);
        rest = rest.substr(at + 1);
        const size_t colon = login.find(':');
        if (colon == std::string_view::npos) {
            info.user.assign(login);
            info.password.clear();
        } else {
            info.user.assign(login.substr(0, colon));
            info.password.assign(login.substr(colon + 1));
        }
    }
    const size_t slash = rest.find('/');
    const std::string_view host_text = rest.substr(0, slash);
    info.path =
        slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    SplitHostPort(host_text, kDefaultFtpPort, info.host, port);
    kind = PeerKind::Ftp;
    return true;
}

bool TPeerId::ParseHttp(std::string_view rest) {
    TPeerUrlInfo& info = UrlInfo();
    const size_t slash = rest.find('/');
    const std::string_view host_text = rest.substr(0, slash);
    info.http_path =
        slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    SplitHostPort(host_text, kDefaultHttpPort, info.host, port);
    kind = PeerKind::Http;
    return true;
}

bool TPeerId::ParseTracker(std::string_view rest) {
    const size_t separator = rest.find("://");
    if (separator == std::string_view::npos) {
        return false;
    }
    const std::string_view scheme = rest.substr(0, separator);
    int32_t chosen_transport = 0;
    if (StartsWithIgnoreCase(scheme, "http") || StartsWithIgnoreCase(scheme, "tcp")) {
        chosen_transport = kTransportTcp;
    } else if (StartsWithIgnoreCase(scheme, "udp")) {
        chosen_transport = kTransportUdp;
    } else {
        return false;
    }
    TPeerUrlInfo& info = UrlInfo();
    info.scheme.assign(scheme);
    rest = rest.substr(separator + 3);

    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        SplitHostPort(rest, kDefaultHttpPort, info.host, port);
        info.path = "/";
        info.query.clear();
    } else {
        // A ":" after the first "/" belongs to the path, not to the host.
        SplitHostPort(rest.substr(0, slash), kDefaultHttpPort, info.host, port);
        const std::string_view path = rest.substr(slash);
        const size_t question = path.find('?');
        info.path.assign(path.substr(0, question));
        info.query = question == std::string_view::npos ? std::string()
                                                        : std::string(path.substr(question + 1));
    }
    transport = chosen_transport;
    kind = PeerKind::Tracker;
    return true;
}

bool TPeerId::ParseBtNode(std::string_view rest) {
    const size_t colon = rest.find(':');
    const std::string_view address = rest.substr(0, colon);
    ip = IsDigitsAndDots(address) ? ParseDottedAddress(address) : kNoAddress;
    port = colon == std::string_view::npos ? 0 : ParsePort(rest.substr(colon + 1));
    if (peer_id == PeerIdBytes{}) {
        peer_id = CompactPeerId(ip, port);
    }
    kind = PeerKind::BtNode;
    return true;
}

bool TPeerId::ResolveHost() {
    TPeerUrlInfo& info = UrlInfo();
    // A record parsed again starts from a fresh list, so that addresses are not fanned out twice.
    info.addresses.clear();
    info.remote_name = false;
    const int32_t added = ResolveSourceHost(info.host, info.addresses);
    if (added < 0) {
        ip = kNoAddress;
        unresolvable = true;
        return false;
    }
    if (info.addresses.empty()) {
        ip = kNoAddress;
    } else {
        ip = info.addresses.front();
        info.addresses.erase(info.addresses.begin());
    }
    return true;
}

void TPeerId::TakeFileName() {
    std::string_view path = url;
    if (kind == PeerKind::Http) {
        // The query and fragment are not part of the file's name ("f.zip?token=a/b" is f.zip).
        path = path.substr(0, path.find_first_of("?#"));
    }
    const size_t last_slash = path.rfind('/');
    const size_t scheme_end = path.find("://");
    if (last_slash == std::string_view::npos ||
        (scheme_end != std::string_view::npos && last_slash == scheme_end + 2)) {
        return;
    }
    std::string name(path.substr(last_slash + 1));
    if (kind == PeerKind::Http) {
        // Decoded back to the bytes the server meant. The system code page is UTF-8, so the
        // conversion from UTF-8 leaves the text as it is.
        name = PercentDecode(name);
    }
    UrlInfo().file_name = std::move(name);
}

bool TPeerId::SameAs(const TPeerId& other) const {
    if (this == &other) {
        return true;
    }
    if (kind != other.kind) {
        return false;
    }
    switch (kind) {
        case PeerKind::BtNode:
            return (ip == other.ip && port == other.port) || peer_id == other.peer_id;
        case PeerKind::Tracker:
            // Trackers left to the proxy have no address: their names tell them apart.
            return ip == other.ip && port == other.port && transport == other.transport &&
                   ConnectsByName() == other.ConnectsByName() &&
                   (!ConnectsByName() || EqualsIgnoreCase(UrlInfo().host, other.UrlInfo().host));
        case PeerKind::Http:
        case PeerKind::Ftp:
            return EqualsIgnoreCase(url, other.url);
        case PeerKind::None:
            break;
    }
    return EqualsIgnoreCase(url, other.url);
}

std::vector<RefPtr<TPeerId>> TPeerId::MakeFanOutRecords() const {
    std::vector<RefPtr<TPeerId>> records;
    if (!IsServerSource() || !resolved || url_info_ == nullptr) {
        return records;
    }
    for (const uint32_t address : url_info_->addresses) {
        RefPtr<TPeerId> copy = Copy();
        copy->ip = address;
        copy->UrlInfo().addresses.clear();
        copy->weight = kind == PeerKind::Http ? kWeightHttpExtraAddress : kWeightFtpExtraAddress;
        records.push_back(std::move(copy));
    }
    return records;
}

TPeerId::PeerIdBytes TPeerId::CompactPeerId(uint32_t ip, int32_t port) {
    PeerIdBytes id{};
    std::memcpy(id.data() + 14, &ip, 4);
    id[18] = static_cast<uint8_t>((port >> 8) & 0xFF);
    id[19] = static_cast<uint8_t>(port & 0xFF);
    return id;
}

TPeerId::PeerIdBytes TPeerId::DictionaryPeerId(uint32_t ip, int32_t port) {
    PeerIdBytes id{};
    std::memcpy(id.data() + 12, &ip, 4);
    const auto value = static_cast<uint32_t>(port);
    for (int i = 0; i < 4; ++i) {
        id[16 + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
    return id;
}

void TPeerId::ApplyUdpClientTag(PeerIdBytes& peer_id) {
    if (peer_id[16] == 'U' && peer_id[17] == 'D' && peer_id[18] == 'P') {
        peer_id[0] = 0x00;
        peer_id[1] = 0x01;
        peer_id[2] = 0x4B;
        peer_id[3] = 0x66;
    }
}

}  // namespace kf
