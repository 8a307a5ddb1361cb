#include "telemetry/MachineSources.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace kf {
namespace {

std::string FirstIpv4(const std::string& name) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> hold(list, freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            name != entry->ifa_name) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof(address));
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) != nullptr) {
            return text;
        }
    }
    return {};
}

bool FileSystemId(const std::string& path, uint32_t* id) {
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        return false;
    }
    *id = static_cast<uint32_t>(info.f_fsid);
    return true;
}

// The character set of the locale the user runs under, as the environment names it: LC_ALL,
// then LC_CTYPE, then LANG ("zh_CN.GB18030@mod" → "GB18030"); the C locale is ASCII.
std::string EnvironmentCodeset() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0') {
            continue;
        }
        std::string text(value);
        const size_t dot = text.find('.');
        if (dot == std::string::npos) {
            return "ANSI_X3.4-1968";
        }
        text = text.substr(dot + 1);
        return text.substr(0, text.find('@'));
    }
    return "ANSI_X3.4-1968";
}

std::string ProgramFolder() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string text(path, static_cast<size_t>(length));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

MachineSources MachineSources::Live() {
    MachineSources sources;
    utsname name{};
    if (uname(&name) == 0) {
        sources.machine = name.machine;
    }
    sources.codeset = EnvironmentCodeset();
    sources.keys_folder = ProgramFolder();
    sources.ipv4_of = FirstIpv4;
    sources.file_system_id = FileSystemId;
    return sources;
}

}  // namespace kf
