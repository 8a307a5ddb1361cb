#include "app/platform/TextChecks.h"

#include <string_view>

namespace kf::app {

namespace {

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// An unreserved or sub-delimiter character, ':' or '@': what a path segment may hold unescaped.
bool IsPathChar(char c) {
    return IsAsciiAlnum(c) ||
           std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

bool IsPort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 || digits.front() == '0') {
        return false;
    }
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return value <= 65535;
}

}  // namespace

bool IsPlainName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        if (c == '/' || IsControl(c)) {
            return false;
        }
    }
    return true;
}

bool IsPlainHost(std::string_view host) {
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        if (!IsPort(host.substr(colon + 1))) {
            return false;
        }
        host = host.substr(0, colon);
    }
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (const char c : host) {
        if (!IsAsciiAlnum(c) && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

bool IsPlainUrlName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        if (!IsPathChar(c)) {
            return false;
        }
    }
    return true;
}

bool IsPlainUrlPath(std::string_view path) {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    path.remove_prefix(1);
    while (!path.empty()) {
        const size_t slash = path.find('/');
        if (!IsPlainUrlName(path.substr(0, slash))) {
            return false;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return true;
}

bool IsWebUrl(std::string_view url, bool allow_http) {
    std::string_view rest;
    if (url.starts_with("https://")) {
        rest = url.substr(8);
    } else if (allow_http && url.starts_with("http://")) {
        rest = url.substr(7);
    } else {
        return false;
    }
    if (rest.empty() || rest.front() == '/') {
        return false;
    }
    for (const char c : rest) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace kf::app
