#include "telemetry/MachineInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <string_view>

#include "engine/base/ParseNumber.h"
#include "telemetry/SourceFile.h"
#include "telemetry/SystemInfoKeys.h"

namespace kf {
namespace {

constexpr int kArphrdLoopback = 772;
constexpr size_t kDpkgStatusCap = 64 * 1024 * 1024;
constexpr const char* kCategories[] = {"Security_Software", "Browser_Software", "Input_Method",
                                       "Media_Player",      "Music_Tools",      "Download_Software",
                                       "Chat_Tools",        "Assisted_Tools",   "Compression_Tools",
                                       "Office_Software",   "Other_Software"};
constexpr const char* kHardwareItems[] = {"CPU_INFO",   "DISK_INFO",       "Memory",      "Monitor",
                                          "Video_Card", "Netword_Adapter", "SOUND_DEVICE"};

bool ParseMac(std::string_view text, uint8_t (&mac)[6]) {
    if (text.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        unsigned value = 0;
        if (std::sscanf(std::string(text.substr(i * 3, 2)).c_str(), "%2x", &value) != 1 ||
            (i < 5 && text[i * 3 + 2] != ':')) {
            return false;
        }
        mac[i] = static_cast<uint8_t>(value);
    }
    return std::any_of(std::begin(mac), std::end(mac), [](uint8_t b) { return b != 0; });
}

std::string Normalised(std::string_view codeset) {
    std::string text;
    for (const char c : codeset) {
        if (c != '-' && c != '_') {
            text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return text;
}

std::string CodePageClass(std::string_view codeset) {
    const std::string name = Normalised(codeset);
    for (const char* chinese : {"GBK", "GB2312", "GB18030", "BIG5", "BIG5HKSCS", "EUCCN", "EUCTW",
                                "CP936", "CP950", "HZ"}) {
        if (name == chinese) {
            return "0";
        }
    }
    for (const char* western : {"CP1252", "WINDOWS1252", "ISO88591", "ISO885915", "LATIN1"}) {
        if (name == western) {
            return "1";
        }
    }
    return "2";
}

// Installed packages from the dpkg status file: name → version, first version kept.
std::map<std::string, std::string> InstalledPrograms(const std::string& path) {
    std::map<std::string, std::string> programs;
    const std::optional<std::string> text = SourceFile::Read(path, kDpkgStatusCap);
    if (!text) {
        return programs;
    }
    std::string name, version;
    bool installed = false;
    const auto flush = [&] {
        if (installed && !name.empty()) {
            programs.emplace(name, version);
        }
        name.clear();
        version.clear();
        installed = false;
    };
    std::string_view rest(*text);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty()) {
            flush();
        } else if (line.starts_with("Package:")) {
            name = SourceFile::Trim(line.substr(8));
        } else if (line.starts_with("Version:")) {
            version = SourceFile::Trim(line.substr(8));
        } else if (line.starts_with("Status:")) {
            installed = line.ends_with(" installed");
        }
    }
    flush();
    return programs;
}

}  // namespace

MachineInfo::MachineInfo(MachineSources sources)
    : sources_(std::move(sources)), hardware_(sources_) {}

std::vector<MachineInfo::Adapter> MachineInfo::Adapters() const {
    const std::string net = sources_.sys + "/class/net";
    std::vector<std::pair<int64_t, Adapter>> found;
    for (const std::string& name : SourceFile::List(net)) {
        const std::string folder = net + "/" + name;
        if (ParseInt64Text(SourceFile::FirstLine(folder + "/type")) == kArphrdLoopback) {
            continue;
        }
        Adapter adapter;
        adapter.name = name;
        if (!ParseMac(SourceFile::FirstLine(folder + "/address"), adapter.mac)) {
            continue;
        }
        found.emplace_back(ParseInt64Text(SourceFile::FirstLine(folder + "/ifindex")), adapter);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Adapter> adapters;
    for (auto& entry : found) {
        adapters.push_back(std::move(entry.second));
    }
    return adapters;
}

std::string MachineInfo::MachineIdText() const {
    uint32_t serial = 0;
    if (sources_.file_system_id && !sources_.file_system_id(sources_.root_path, &serial)) {
        serial = 0;
    }
    const uint8_t s[4] = {static_cast<uint8_t>(serial), static_cast<uint8_t>(serial >> 8),
                          static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 24)};
    uint8_t m[6] = {};
    if (const std::vector<Adapter> adapters = Adapters(); !adapters.empty()) {
        std::copy(std::begin(adapters[0].mac), std::end(adapters[0].mac), m);
    }
    const uint8_t id[8] = {static_cast<uint8_t>(m[0] + s[2]),
                           m[1],
                           static_cast<uint8_t>(m[2] + s[3]),
                           static_cast<uint8_t>(m[3] + s[0]),
                           m[4],
                           static_cast<uint8_t>(m[5] + s[2]),
                           s[0],
                           s[1]};
    char text[17];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X%02X%02X%02X%02X", id[0], id[1], id[2],
                  id[3], id[4], id[5], id[6], id[7]);
    return text;
}

std::string MachineInfo::MacText() const {
    std::string text;
    for (const Adapter& adapter : Adapters()) {
        char mac[18];
        std::snprintf(mac, sizeof(mac), "%02x-%02x-%02x-%02x-%02x-%02x", adapter.mac[0],
                      adapter.mac[1], adapter.mac[2], adapter.mac[3], adapter.mac[4],
                      adapter.mac[5]);
        text += (text.empty() ? "" : ";") + std::string(mac);
    }
    return text;
}

std::string MachineInfo::IpText() const {
    std::string text;
    bool first = true;
    for (const Adapter& adapter : Adapters()) {
        text += first ? "" : ";";
        first = false;
        if (sources_.ipv4_of) {
            text += sources_.ipv4_of(adapter.name);
        }
    }
    return text;
}

std::string MachineInfo::OsCode() {
    std::lock_guard hold(cache_mutex_);
    if (os_code_.empty()) {
        const bool wide =
            sources_.machine.find("64") != std::string::npos || sources_.machine == "s390x";
        os_code_ =
            std::string(kLinuxOsCode) + (wide ? "64" : "32") + CodePageClass(sources_.codeset);
    }
    return os_code_;
}

void MachineInfo::CollectMachineId(Json::Value& object) const {
    object["MachId"] = MachineIdText();
}

void MachineInfo::CollectFlagged(Json::Value& object, uint32_t flags) {
    std::lock_guard hold(cache_mutex_);
    const auto cached = [&](std::optional<Json::Value>& cache, auto collect) {
        if (!cache) {
            cache = Json::Value(Json::objectValue);
            (hardware_.*collect)(*cache);
        }
        for (const std::string& key : cache->getMemberNames()) {
            object[key] = (*cache)[key];
        }
    };
    if ((flags & 1) != 0) {
        cached(cpu_, &HardwareInfo::CollectCpu);
    }
    if ((flags & 2) != 0) {
        cached(memory_, &HardwareInfo::CollectMemory);
    }
    if ((flags & 4) != 0) {
        cached(video_, &HardwareInfo::CollectVideoCard);
    }
}

Json::Value MachineInfo::SoftwareCategory(const std::string& category) const {
    Json::Value list(Json::arrayValue);
    const std::optional<SystemInfoKeys> keys = SystemInfoKeys::Load(sources_.keys_folder);
    const std::vector<std::string> texts =
        keys ? keys->MatchTexts(category) : std::vector<std::string>{};
    if (texts.empty()) {
        return list;
    }
    for (const auto& [name, version] : InstalledPrograms(sources_.dpkg_status)) {
        std::string lower(name);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (std::any_of(texts.begin(), texts.end(),
                        [&](const std::string& t) { return lower.find(t) != std::string::npos; })) {
            Json::Value program(Json::objectValue);
            program["Name"] = name;
            program["Version"] = version;
            list.append(program);
        }
    }
    return list;
}

bool MachineInfo::HasKeysFile() const {
    return SourceFile::Read(sources_.keys_folder + "/" + SystemInfoKeys::kFileName, 1).has_value();
}

Json::Value MachineInfo::DeviceReport() {
    Json::Value report(Json::objectValue);
    const std::optional<SystemInfoKeys> keys = SystemInfoKeys::Load(sources_.keys_folder);
    if (!keys) {
        report["Extra_Err_Msg"] = kMissingKeysText;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &local);
    report["Data_Date"] = date;
    report["Mac_Address"] = MacText();
    report["IP"] = IpText();

    Json::Value hardware(Json::objectValue);
    hardware["Module"] = "pt_hardware";
    using Collect = void (HardwareInfo::*)(Json::Value&) const;
    const Collect collectors[] = {
        &HardwareInfo::CollectCpu,         &HardwareInfo::CollectDisk,
        &HardwareInfo::CollectMemory,      &HardwareInfo::CollectMonitor,
        &HardwareInfo::CollectVideoCard,   &HardwareInfo::CollectNetworkAdapters,
        &HardwareInfo::CollectSoundDevices};
    for (size_t i = 0; i < std::size(kHardwareItems); ++i) {
        if (keys && keys->HardwareEnabled(kHardwareItems[i])) {
            (hardware_.*collectors[i])(hardware);
        }
    }
    CollectMachineId(hardware);

    Json::Value software(Json::objectValue);
    software["Module"] = "pt_software";
    for (const char* category : kCategories) {
        software[category] = keys ? SoftwareCategory(category) : Json::Value(Json::arrayValue);
    }
    Json::Value os(Json::objectValue);
    os["Module"] = "pt_os";
    os["Windows_Code"] = OsCode();

    Json::Value client(Json::arrayValue);
    client.append(hardware);
    client.append(software);
    client.append(os);
    report["Client_Info"] = client;
    return report;
}

}  // namespace kf
