#pragma once

#include <json/value.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "telemetry/HardwareInfo.h"
#include "telemetry/MachineSources.h"

namespace kf {

// The machine description every telemetry record carries: the machine id, the hardware addresses
// and IPv4 addresses of the network adapters, the OS code, and on request the hardware lists, the
// installed software by category and the whole device description.
//
//   machine id   8 bytes over the root file system id s0..s3 (least significant first) and the
//                first non-loopback hardware address m0..m5: m0+s2, m1, m2+s3, m3+s0, m4, m5+s2,
//                s0, s1 (mod 256), as 16 upper-case hex digits; a part that cannot be read is 0
//   MAC text     the adapters' addresses "%02x-%02x-..." in interface index order, joined by ';'
//   IP text      each adapter's first IPv4 address (empty when it has none), joined by ';'
//   OS code      kLinuxOsCode + "64"/"32" (architecture word size) + code-page class: "0" for a
//                Chinese character set, "1" for Western (1252 / Latin-1), "2" for anything else
//
// Threads: any; the processor, memory and video lists and the OS code are read once and kept
// under the object's lock, everything else is read again on every call.
class MachineInfo {
  public:
    // The Windows codes end at 999 ("Other"); Linux systems get a number of their own.
    static constexpr const char* kLinuxOsCode = "900";
    static constexpr const char* kMissingKeysText =
        "ERR : something wrong with SystemInfoKeys.xml or no such files!";

    explicit MachineInfo(MachineSources sources);

    std::string MachineIdText() const;
    std::string MacText() const;
    std::string IpText() const;
    std::string OsCode();
    // Adds MachId.
    void CollectMachineId(Json::Value& object) const;
    // Adds the lists a record's flags ask for: CPU (1), Memory and Memory_Total_Capacity (2),
    // Video_Card (4).
    void CollectFlagged(Json::Value& object, uint32_t flags);
    // The category's installed programs matched by SystemInfoKeys.xml: [{Name, Version}] ordered
    // by name; empty when nothing matches or the category is not configured.
    Json::Value SoftwareCategory(const std::string& category) const;
    // The whole device description (Client_Info with hardware, software and OS modules).
    Json::Value DeviceReport();
    // Whether SystemInfoKeys.xml is readable in the keys folder.
    bool HasKeysFile() const;

    const HardwareInfo& Hardware() const { return hardware_; }

  private:
    struct Adapter {
        std::string name;
        uint8_t mac[6] = {};
    };
    std::vector<Adapter> Adapters() const;

    MachineSources sources_;
    HardwareInfo hardware_;
    std::mutex cache_mutex_;
    std::optional<Json::Value> cpu_, memory_, video_;
    std::string os_code_;
};

}  // namespace kf
