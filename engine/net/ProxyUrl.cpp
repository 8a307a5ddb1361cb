#include "engine/net/ProxyUrl.h"

#include <strings.h>

#include <array>

#include "engine/base/ParseNumber.h"
#include "engine/net/HostResolver.h"
#include "engine/net/QProxyConfig.h"

namespace kf {
namespace {

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
            HexDigitValue(text[i + 2]) >= 0) {
            out.push_back(
                static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

std::optional<ProxyUrl> ParseProxyUrl(std::string_view text) {
    struct Scheme {
        const char* name;
        int32_t type;
        int32_t default_port;
    };
    static constexpr std::array<Scheme, 4> kSchemes = {{{"http://", ProxyUrl::kHttp, 8080},
                                                        {"socks4://", ProxyUrl::kSocks4, 1080},
                                                        {"socks4a://", ProxyUrl::kSocks4a, 1080},
                                                        {"socks5://", ProxyUrl::kSocks5, 1080}}};
    ProxyUrl proxy;
    for (const Scheme& scheme : kSchemes) {
        const std::string_view prefix(scheme.name);
        if (text.size() >= prefix.size() &&
            strncasecmp(text.data(), prefix.data(), prefix.size()) == 0) {
            proxy.type = scheme.type;
            proxy.port = scheme.default_port;
            text.remove_prefix(prefix.size());
            break;
        }
    }
    if (proxy.type == ProxyUrl::kNone) {
        return std::nullopt;
    }
    if (const size_t slash = text.find('/'); slash != std::string_view::npos) {
        text = text.substr(0, slash);
    }
    if (const size_t at = text.rfind('@'); at != std::string_view::npos) {
        const std::string_view credentials = text.substr(0, at);
        const size_t colon = credentials.find(':');
        proxy.user = PercentDecoded(credentials.substr(0, colon));
        if (colon != std::string_view::npos) {
            proxy.password = PercentDecoded(credentials.substr(colon + 1));
        }
        text.remove_prefix(at + 1);
    }
    if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        const std::string_view port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5) {
            return std::nullopt;
        }
        int32_t value = 0;
        for (const char c : port) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) {
            return std::nullopt;
        }
        proxy.port = value;
        text = text.substr(0, colon);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    proxy.host = std::string(text);
    return proxy;
}

std::optional<QProxyConfig> ToProxyConfig(const ProxyUrl& proxy) {
    const uint32_t address = ResolveHost(proxy.host);
    if (address == 0 || address == 0xFFFFFFFFu) {
        return std::nullopt;
    }
    QProxyConfig config;
    config.type = proxy.type;
    config.address = address;
    config.port = proxy.port;
    config.user = proxy.user;
    config.password = proxy.password;
    config.remote_names = proxy.type != ProxyUrl::kSocks4;
    return config;
}

}  // namespace kf
