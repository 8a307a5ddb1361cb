#include "engine/upnp/RememberedPort.h"

#include <charconv>
#include <string_view>

#include "engine/net/Ipv4Address.h"
#include "engine/os/AtomicFile.h"
#include "engine/os/FileBytes.h"

namespace kf {

int32_t RememberedPort::Load() const {
    if (path_.empty()) {
        return 0;
    }
    const auto bytes = ReadFileBytes(path_, 16);
    if (!bytes) {
        return 0;
    }
    std::string_view text = *bytes;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    int32_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || !IsValidPort(port)) {
        return 0;
    }
    return port;
}

bool RememberedPort::Store(int32_t port) const {
    if (path_.empty() || !IsValidPort(port)) {
        return false;
    }
    const std::string text = std::to_string(port) + "\n";
    os::AtomicFile file(os::FileSystem::Default(), path_);
    return file.Open() &&
           file.Append({reinterpret_cast<const uint8_t*>(text.data()), text.size()}) &&
           file.Commit();
}

}  // namespace kf
