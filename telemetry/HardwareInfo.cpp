#include "telemetry/HardwareInfo.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/base/ParseNumber.h"
#include "telemetry/MemoryDevice.h"
#include "telemetry/SourceFile.h"

namespace kf {
namespace {

constexpr size_t kCpuInfoCap = 1024 * 1024;
constexpr int kArphrdEther = 1;

// "key<tabs>: value" lines of /proc/cpuinfo and /proc/meminfo.
bool SplitField(std::string_view line, std::string* key, std::string* value) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    *key = SourceFile::Trim(line.substr(0, colon));
    *value = SourceFile::Trim(line.substr(colon + 1));
    return true;
}

template <class Each>
void ForEachLine(std::string_view text, Each&& each) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        each(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

std::optional<int64_t> NumberIn(const std::string& path) {
    const std::string line = SourceFile::FirstLine(path);
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos ||
        line.size() > 18) {
        return std::nullopt;
    }
    return ParseInt64Text(line);
}

std::string ArchitectureName(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") {
        return "x64";
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") {
        return "x86";
    }
    if (machine.starts_with("mips")) {
        return "MIPS";
    }
    if (machine.starts_with("ppc") || machine.starts_with("powerpc")) {
        return "PowerPC";
    }
    if (machine == "ia64") {
        return "Itanium-based systems";
    }
    if (machine == "aarch64" || machine == "arm64") {
        return "ARM64";
    }
    if (machine.starts_with("arm")) {
        return "ARM";
    }
    return "Error";
}

// The graphics cards are the DRM nodes "cardN"; their outputs are "cardN-Connector".
bool IsCardNode(const std::string& name) {
    return name.starts_with("card") && name.size() > 4 &&
           name.find_first_not_of("0123456789", 4) == std::string::npos;
}

// Block devices that are no disk of their own: loop files, RAM disks, mapped and RAID volumes,
// optical drives, network blocks.
bool IsVirtualDisk(const std::string& name) {
    for (const char* prefix : {"loop", "ram", "zram", "dm-", "md", "sr", "nbd"}) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

// A display's maker and product from its EDID: three letters packed in bytes 8-9, the product
// code little-endian in bytes 10-11 ("DEL40B4").
std::string EdidProduct(const std::string& path) {
    const std::optional<std::string> edid = SourceFile::Read(path, 256);
    if (!edid || edid->size() < 12) {
        return {};
    }
    const auto byte = [&](size_t at) { return static_cast<uint8_t>((*edid)[at]); };
    const uint32_t packed = (uint32_t{byte(8)} << 8) | byte(9);
    std::string text;
    for (const int shift : {10, 5, 0}) {
        const uint32_t letter = (packed >> shift) & 0x1F;
        if (letter < 1 || letter > 26) {
            return {};
        }
        text += static_cast<char>('A' + letter - 1);
    }
    char product[8];
    std::snprintf(product, sizeof(product), "%02X%02X", byte(11), byte(10));
    return text + product;
}

bool ParseMode(std::string_view line, int64_t* width, int64_t* height) {
    const size_t x = line.find('x');
    if (x == std::string_view::npos || x == 0 || x > 6) {
        return false;
    }
    size_t end = x + 1;
    while (end < line.size() && end < x + 7 && line[end] >= '0' && line[end] <= '9') {
        ++end;
    }
    if (end == x + 1 || line.substr(0, x).find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *width = ParseInt64Text(std::string(line.substr(0, x)));
    *height = ParseInt64Text(std::string(line.substr(x + 1, end - x - 1)));
    return *width > 0 && *height > 0;
}

}  // namespace

void HardwareInfo::CollectCpu(Json::Value& object) const {
    const std::optional<std::string> text =
        SourceFile::Read(sources_.proc + "/cpuinfo", kCpuInfoCap);
    if (!text) {
        return;
    }
    // One entry per physical package: logical processors repeat their package's texts.
    Json::Value list(Json::arrayValue);
    std::vector<std::string> packages;
    std::string name, maker, package;
    const auto flush = [&] {
        if ((name.empty() && maker.empty()) ||
            std::find(packages.begin(), packages.end(), package) != packages.end()) {
            return;
        }
        packages.push_back(package);
        Json::Value cpu(Json::objectValue);
        if (!name.empty()) {
            cpu["CPU_Name"] = name;
        }
        if (!maker.empty()) {
            cpu["CPU_Manufacturer"] = maker;
        }
        cpu["CPU_Type"] = "Central Processor";
        if (!sources_.machine.empty()) {
            cpu["CPU_Architecture"] = ArchitectureName(sources_.machine);
        }
        list.append(cpu);
    };
    ForEachLine(*text, [&](std::string_view line) {
        std::string key, value;
        if (SourceFile::Trim(line).empty()) {
            flush();
            name.clear();
            maker.clear();
            package.clear();
        } else if (SplitField(line, &key, &value)) {
            if (key == "model name") {
                name = value;
            } else if (key == "vendor_id") {
                maker = value;
            } else if (key == "physical id") {
                package = value;
            }
        }
    });
    flush();
    if (!list.empty()) {
        object["CPU"] = list;
    }
}

void HardwareInfo::CollectMemory(Json::Value& object) const {
    if (const std::optional<std::string> text = SourceFile::Read(sources_.proc + "/meminfo")) {
        ForEachLine(*text, [&](std::string_view line) {
            std::string key, value;
            if (SplitField(line, &key, &value) && key == "MemTotal" && value.ends_with(" kB")) {
                const int64_t kib = ParseInt64Text(value.substr(0, value.size() - 3));
                if (kib > 0) {
                    object["Memory_Total_Capacity"] = Json::UInt64(kib) * 1024;
                }
            }
        });
    }
    const std::string entries = sources_.sys + "/firmware/dmi/entries";
    Json::Value list(Json::arrayValue);
    for (const std::string& entry : SourceFile::List(entries)) {
        if (!entry.starts_with("17-")) {
            continue;
        }
        const std::optional<std::string> raw =
            SourceFile::Read(entries + "/" + entry + "/raw", 4096);
        if (!raw) {
            continue;
        }
        const auto device = MemoryDevice::Parse(
            std::span(reinterpret_cast<const uint8_t*>(raw->data()), raw->size()));
        if (!device) {
            continue;
        }
        Json::Value module(Json::objectValue);
        if (!device->type.empty()) {
            module["Memory_Type"] = device->type;
        }
        if (device->capacity_bytes) {
            module["Memory_Capacity"] = Json::UInt64(*device->capacity_bytes);
        }
        if (device->speed_mts) {
            module["Memory_Frequency"] = *device->speed_mts;
        }
        list.append(module);
    }
    if (!list.empty()) {
        object["Memory"] = list;
    }
}

void HardwareInfo::CollectVideoCard(Json::Value& object) const {
    const std::string drm = sources_.sys + "/class/drm";
    Json::Value list(Json::arrayValue);
    for (const std::string& card : SourceFile::List(drm)) {
        if (!IsCardNode(card)) {
            continue;
        }
        const std::string device = drm + "/" + card + "/device";
        std::string driver, pci_id;
        if (const auto uevent = SourceFile::Read(device + "/uevent")) {
            ForEachLine(*uevent, [&](std::string_view line) {
                if (line.starts_with("DRIVER=")) {
                    driver = SourceFile::Trim(line.substr(7));
                } else if (line.starts_with("PCI_ID=")) {
                    pci_id = SourceFile::Trim(line.substr(7));
                }
            });
        }
        if (driver.empty() && pci_id.empty()) {
            continue;
        }
        Json::Value video(Json::objectValue);
        video["Video_Card_Name"] = pci_id.empty()   ? driver
                                   : driver.empty() ? pci_id
                                                    : driver + " [" + pci_id + "]";
        if (const auto vram = NumberIn(device + "/mem_info_vram_total")) {
            video["Video_Card_Memory_Capacity"] = Json::Int64(*vram);
        }
        if (!driver.empty()) {
            const std::string version =
                SourceFile::FirstLine(sources_.sys + "/module/" + driver + "/version");
            if (!version.empty()) {
                video["Video_Card_Driver_Version"] = version;
            }
        }
        list.append(video);
    }
    if (!list.empty()) {
        object["Video_Card"] = list;
    }
}

void HardwareInfo::CollectDisk(Json::Value& object) const {
    const std::string block = sources_.sys + "/block";
    Json::Value list(Json::arrayValue);
    for (const std::string& name : SourceFile::List(block)) {
        if (IsVirtualDisk(name)) {
            continue;
        }
        Json::Value disk(Json::objectValue);
        const std::string model = SourceFile::FirstLine(block + "/" + name + "/device/model");
        disk["Disk_Caption"] = model.empty() ? name : model;
        if (const auto sectors = NumberIn(block + "/" + name + "/size")) {
            disk["Disk_Capacity"] = Json::Int64(*sectors) * 512;
        }
        list.append(disk);
    }
    if (!list.empty()) {
        object["Disk"] = list;
    }
    if (const auto mounts = SourceFile::Read(sources_.proc + "/mounts", kCpuInfoCap)) {
        std::string type;
        ForEachLine(*mounts, [&](std::string_view line) {
            // "device mountpoint type options ..." — the last mount on "/" is the one in use.
            const size_t first = line.find(' ');
            const size_t second = line.find(' ', first + 1);
            if (first == std::string_view::npos || second == std::string_view::npos) {
                return;
            }
            if (line.substr(first + 1, second - first - 1) == "/") {
                type =
                    std::string(line.substr(second + 1, line.find(' ', second + 1) - second - 1));
            }
        });
        if (!type.empty()) {
            object["Disk_File_System"] = type;
        }
    }
}

void HardwareInfo::CollectMonitor(Json::Value& object) const {
    const std::string drm = sources_.sys + "/class/drm";
    Json::Value list(Json::arrayValue);
    for (const std::string& output : SourceFile::List(drm)) {
        if (!output.starts_with("card") || output.find('-') == std::string::npos ||
            SourceFile::FirstLine(drm + "/" + output + "/status") != "connected") {
            continue;
        }
        Json::Value monitor(Json::objectValue);
        const std::string product = EdidProduct(drm + "/" + output + "/edid");
        if (!product.empty()) {
            monitor["Manufacturer"] = "DISPLAY " + product;
        }
        int64_t width = 0, height = 0, max_width = 0, max_height = 0;
        bool first = true;
        if (const auto modes = SourceFile::Read(drm + "/" + output + "/modes")) {
            ForEachLine(*modes, [&](std::string_view line) {
                int64_t w = 0, h = 0;
                if (!ParseMode(line, &w, &h)) {
                    return;
                }
                // The first mode listed is the one the display prefers and runs at.
                if (first) {
                    width = w;
                    height = h;
                    first = false;
                }
                max_width = std::max(max_width, w);
                max_height = std::max(max_height, h);
            });
        }
        if (width > 0) {
            monitor["Current_Resolution_Width"] = Json::Int64(width);
            monitor["Current_Resolution_Height"] = Json::Int64(height);
            monitor["Max_Width"] = Json::Int64(max_width);
            monitor["Max_Height"] = Json::Int64(max_height);
            char ratio[32];
            std::snprintf(
                ratio, sizeof(ratio), "%.7g",
                static_cast<double>(static_cast<float>(width) / static_cast<float>(height)));
            monitor["Width_Height"] = ratio;
        } else {
            monitor["Width_Height"] = "-1";
        }
        list.append(monitor);
    }
    if (!list.empty()) {
        object["Monitor"] = list;
    }
}

void HardwareInfo::CollectNetworkAdapters(Json::Value& object) const {
    const std::string net = sources_.sys + "/class/net";
    const std::vector<std::string> names = SourceFile::List(net);
    Json::Value list(Json::arrayValue);
    for (const std::string& name : names) {
        // Ethernet-framed interfaces with a device behind them: no bridges, tunnels or veths.
        const std::string folder = net + "/" + name;
        if (NumberIn(folder + "/type") != kArphrdEther ||
            !SourceFile::Read(folder + "/device/uevent")) {
            continue;
        }
        Json::Value adapter(Json::objectValue);
        adapter["Name"] = name;
        if (const auto mbps = NumberIn(folder + "/speed")) {
            adapter["Speed"] = Json::Int64(*mbps) * 1000000;
        }
        list.append(adapter);
    }
    if (names.empty()) {
        Json::Value unknown(Json::objectValue);
        unknown["Name"] = "Unknown";
        unknown["Speed"] = "Unknown";
        list.append(unknown);
    }
    object["Netword_Adapter"] = list;
}

void HardwareInfo::CollectSoundDevices(Json::Value& object) const {
    const std::optional<std::string> cards = SourceFile::Read(sources_.proc + "/asound/cards");
    if (!cards) {
        return;
    }
    Json::Value list(Json::arrayValue);
    ForEachLine(*cards, [&](std::string_view line) {
        // " 0 [PCH            ]: HDA-Intel - HDA Intel PCH"; the next line is the long name.
        const std::string trimmed = SourceFile::Trim(line);
        const size_t bracket = trimmed.find(" [");
        const size_t dash = trimmed.find(" - ");
        if (trimmed.empty() || trimmed[0] < '0' || trimmed[0] > '9' ||
            bracket == std::string::npos || dash == std::string::npos) {
            return;
        }
        Json::Value card(Json::objectValue);
        card["Sound_Card_Name"] = SourceFile::Trim(std::string_view(trimmed).substr(dash + 3));
        list.append(card);
    });
    if (!list.empty()) {
        object["Sound_Card"] = list;
    }
}

}  // namespace kf
