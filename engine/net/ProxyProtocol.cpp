#include "engine/net/ProxyProtocol.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace kf {

namespace {

constexpr uint8_t kSocks4Granted = 90;

bool IsBlank(uint8_t byte) {
    return byte == ' ' || byte == '\t' || byte == '\r';
}

uint8_t LowerAscii(uint8_t byte) {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + ('a' - 'A')) : byte;
}

// Length of the header including its terminating empty line, or 0 when not (yet) found.
size_t FindHeaderEnd(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != '\n') {
            continue;
        }
        if (bytes[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            return i + 3;
        }
    }
    return 0;
}

// Splits the status line into whitespace-separated tokens; false when a token is too long.
bool StatusToken(std::span<const uint8_t> line, std::string_view& status) {
    size_t index = 0;
    int token = 0;
    while (index < line.size() && token < 3) {
        while (index < line.size() && IsBlank(line[index])) {
            ++index;
        }
        const size_t start = index;
        while (index < line.size() && !IsBlank(line[index])) {
            ++index;
        }
        if (index == start) {
            break;
        }
        if (index - start > kMaxStatusToken) {
            return false;
        }
        if (++token == 2) {
            status =
                std::string_view(reinterpret_cast<const char*>(line.data()) + start, index - start);
        }
    }
    return token >= 2;
}

// The body length announced in the header; -1 when it is too large to wait for.
int64_t ContentLength(std::span<const uint8_t> header) {
    static constexpr char kName[] = "\ncontent-length:";
    constexpr size_t kNameLength = sizeof(kName) - 1;
    for (size_t i = 0; i + kNameLength <= header.size(); ++i) {
        size_t matched = 0;
        while (matched < kNameLength &&
               LowerAscii(header[i + matched]) == static_cast<uint8_t>(kName[matched])) {
            ++matched;
        }
        if (matched != kNameLength) {
            continue;
        }
        size_t index = i + kNameLength;
        while (index < header.size() && (header[index] == ' ' || header[index] == '\t')) {
            ++index;
        }
        int64_t value = 0;
        while (index < header.size() && header[index] >= '0' && header[index] <= '9') {
            value = value * 10 + (header[index] - '0');
            if (value > static_cast<int64_t>(kMaxProxyReplyBody)) {
                return -1;
            }
            ++index;
        }
        return value;
    }
    return 0;
}

void PutPort(std::vector<uint8_t>& out, int32_t port) {
    out.push_back(static_cast<uint8_t>((port >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(port & 0xFF));
}

void PutAddress(std::vector<uint8_t>& out, uint32_t address_network_order) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address_network_order, 4);
    out.insert(out.end(), bytes, bytes + 4);
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

ProxyReplyVerdict ParseHttpProxyReply(std::span<const uint8_t> bytes) {
    const std::span<const uint8_t> window =
        bytes.first(std::min(bytes.size(), kMaxProxyReplyHeader));
    const size_t header_length = FindHeaderEnd(window);
    if (header_length == 0) {
        return {window.size() >= kMaxProxyReplyHeader ? ProxyReplyStatus::kFailed
                                                      : ProxyReplyStatus::kNeedMore,
                0};
    }
    const std::span<const uint8_t> header = bytes.first(header_length);
    size_t line_end = 0;
    while (header[line_end] != '\n') {
        ++line_end;
    }
    std::string_view status;
    if (!StatusToken(header.first(line_end), status) || status.substr(0, 2) != "20") {
        return {ProxyReplyStatus::kFailed, 0};
    }
    const int64_t body = ContentLength(header);
    if (body < 0) {
        return {ProxyReplyStatus::kFailed, 0};
    }
    const size_t total = header_length + static_cast<size_t>(body);
    if (bytes.size() < total) {
        return {ProxyReplyStatus::kNeedMore, 0};
    }
    return {ProxyReplyStatus::kDone, total};
}

ProxyReplyVerdict ParseSocks4ProxyReply(std::span<const uint8_t> bytes) {
    if ((!bytes.empty() && bytes[0] != 0) || (bytes.size() >= 2 && bytes[1] != kSocks4Granted)) {
        return {ProxyReplyStatus::kFailed, 0};
    }
    if (bytes.size() < 8) {
        return {ProxyReplyStatus::kNeedMore, 0};
    }
    return {ProxyReplyStatus::kDone, 8};
}

ProxyReplyVerdict ParseSocks5ProxyReply(std::span<const uint8_t> bytes) {
    if (bytes.size() >= 2 && bytes[1] != 0) {
        return {ProxyReplyStatus::kFailed, 0};
    }
    if (bytes.size() < 5) {
        return {ProxyReplyStatus::kNeedMore, 0};
    }
    size_t needed = 0;
    switch (bytes[3]) {
        case 1:
            needed = 10;
            break;
        case 3:
            needed = 7 + static_cast<size_t>(bytes[4]);
            break;
        default:
            return {ProxyReplyStatus::kFailed, 0};
    }
    if (bytes.size() < needed) {
        return {ProxyReplyStatus::kNeedMore, 0};
    }
    return {ProxyReplyStatus::kDone, needed};
}

ProxyReplyVerdict ParseProxyReply(int32_t proxy_type, std::span<const uint8_t> bytes) {
    switch (proxy_type) {
        case QProxyConfig::kHttp:
            return ParseHttpProxyReply(bytes);
        case QProxyConfig::kSocks4:
        case QProxyConfig::kSocks4a:
            return ParseSocks4ProxyReply(bytes);
        case QProxyConfig::kSocks5:
            return ParseSocks5ProxyReply(bytes);
        default:
            return {ProxyReplyStatus::kFailed, 0};
    }
}

std::string DescribeProxyRefusal(int32_t proxy_type, std::span<const uint8_t> bytes) {
    constexpr size_t kMaxStatusLine = 120;
    switch (proxy_type) {
        case QProxyConfig::kHttp: {
            std::string line;
            for (const uint8_t byte : bytes) {
                if (byte == '\r' || byte == '\n' || line.size() == kMaxStatusLine) {
                    break;
                }
                line.push_back(byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?');
            }
            return "the proxy answered \"" + line + "\"";
        }
        case QProxyConfig::kSocks4:
        case QProxyConfig::kSocks4a:
            return bytes.size() >= 2
                       ? "the SOCKS4 proxy refused (code " + std::to_string(bytes[1]) + ")"
                       : "the SOCKS4 proxy sent no reply";
        case QProxyConfig::kSocks5:
            return bytes.size() >= 2
                       ? "the SOCKS5 proxy refused (code " + std::to_string(bytes[1]) + ")"
                       : "the SOCKS5 proxy sent no reply";
        default:
            return "no usable proxy";
    }
}

std::string Base64Encode(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

std::string HttpProxyTarget(std::string_view host, int32_t port) {
    std::string target(host);
    target += ':';
    target += std::to_string(port);
    target += " HTTP/1.1\r\n";
    return target;
}

std::optional<std::string> BuildHttpProxyRequest(const QProxyConfig& proxy, bool mask_credentials) {
    const std::string& verb = proxy.EffectiveVerb();
    const std::string_view target = proxy.target;
    // The target must be exactly one line: anything else would let a host name add header lines.
    if (target.size() < 2 || target.substr(target.size() - 2) != "\r\n" ||
        HasLineBreak(target.substr(0, target.size() - 2)) || HasLineBreak(verb) ||
        HasLineBreak(proxy.domain) || verb.find(' ') != std::string::npos) {
        return std::nullopt;
    }
    std::string request = verb;
    request += ' ';
    request += target;
    if (!proxy.user.empty()) {
        request += "Proxy-Authorization: Basic ";
        request += mask_credentials ? std::string("******")
                                    : Base64Encode(proxy.user + ":" + proxy.password);
        request += "\r\n";
    }
    if (!proxy.domain.empty()) {
        request += "Domain: ";
        request += proxy.domain;
        request += "\r\n";
    }
    request += "\r\n";
    return request;
}

std::optional<std::vector<uint8_t>> BuildSocks4Request(uint32_t address_network_order, int32_t port,
                                                       std::string_view host_name) {
    if (port < 1 || port > 65535 || host_name.size() > kMaxSocksField ||
        host_name.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<uint8_t> out{4, 1};
    PutPort(out, port);
    if (host_name.empty()) {
        PutAddress(out, address_network_order);
        out.push_back(0);  // empty user id
        return out;
    }
    const uint8_t invalid_address[4] = {0, 0, 0, 1};  // "the proxy resolves the name"
    out.insert(out.end(), invalid_address, invalid_address + 4);
    out.push_back(0);
    out.insert(out.end(), host_name.begin(), host_name.end());
    out.push_back(0);
    return out;
}

std::vector<uint8_t> BuildSocks5MethodOffer(bool with_credentials) {
    return {5, 1, static_cast<uint8_t>(with_credentials ? 2 : 0)};
}

std::optional<std::vector<uint8_t>> BuildSocks5Credentials(std::string_view user,
                                                           std::string_view password) {
    if (user.size() > kMaxSocksField || password.size() > kMaxSocksField) {
        return std::nullopt;
    }
    std::vector<uint8_t> out{1, static_cast<uint8_t>(user.size())};
    out.insert(out.end(), user.begin(), user.end());
    out.push_back(static_cast<uint8_t>(password.size()));
    out.insert(out.end(), password.begin(), password.end());
    return out;
}

std::optional<std::vector<uint8_t>> BuildSocks5Connect(uint32_t address_network_order, int32_t port,
                                                       std::string_view host_name) {
    if (port < 1 || port > 65535 || host_name.size() > kMaxSocksField) {
        return std::nullopt;
    }
    std::vector<uint8_t> out{5, 1, 0};
    if (host_name.empty()) {
        out.push_back(1);
        PutAddress(out, address_network_order);
    } else {
        out.push_back(3);
        out.push_back(static_cast<uint8_t>(host_name.size()));
        out.insert(out.end(), host_name.begin(), host_name.end());
    }
    PutPort(out, port);
    return out;
}

}  // namespace kf
