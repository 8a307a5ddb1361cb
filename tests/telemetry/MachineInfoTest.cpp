// The machine description on fixture trees (a desktop; a VM without DMI, sound or DRM) and on this
// machine.
#include <gtest/gtest.h>
#include <json/writer.h>

#include <cstring>
#include <vector>

#include "telemetry/MachineInfo.h"
#include "telemetry/MemoryDevice.h"

namespace kf {
namespace {

const std::string kFixtures = std::string(KF_TEST_DATA_DIR) + "/telemetry/";

MachineSources Fixture(const std::string& name, const std::string& machine = "x86_64",
                       const std::string& codeset = "UTF-8") {
    MachineSources sources;
    const std::string root = kFixtures + name;
    sources.proc = root + "/proc";
    sources.sys = root + "/sys";
    sources.dpkg_status = root + "/var/lib/dpkg/status";
    sources.keys_folder = root + "/program";
    sources.machine = machine;
    sources.codeset = codeset;
    sources.ipv4_of = [](const std::string& interface) {
        return interface == "enp3s0" ? std::string("192.168.1.10") : std::string();
    };
    sources.file_system_id = [](const std::string&, uint32_t* id) {
        *id = 0x44332211;
        return true;
    };
    return sources;
}

std::vector<std::string> Names(const Json::Value& list, const char* key) {
    std::vector<std::string> names;
    for (const Json::Value& entry : list) {
        names.push_back(entry[key].asString());
    }
    return names;
}

TEST(MachineInfo, IdentityTextsFollowTheFormula) {
    MachineInfo desktop(Fixture("desktop"));
    // MAC 00:1a:2b:3c:4d:5e, serial bytes 11 22 33 44: 00+33, 1a, 2b+44, 3c+11, 4d, 5e+33, 11, 22.
    EXPECT_EQ(desktop.MachineIdText(), "331A6F4D4D911122");
    EXPECT_EQ(desktop.MacText(), "00-1a-2b-3c-4d-5e;a0-b1-c2-d3-e4-f5;02-42-ac-11-00-01");
    EXPECT_EQ(desktop.IpText(), "192.168.1.10;;");

    // No adapter: the serial bytes alone.
    MachineSources bare = Fixture("desktop");
    bare.sys = kFixtures + "missing";
    EXPECT_EQ(MachineInfo(bare).MachineIdText(), "3300441100331122");
    EXPECT_EQ(MachineInfo(bare).MacText(), "");

    const struct {
        const char* machine;
        const char* codeset;
        const char* code;
    } os_cases[] = {{"x86_64", "UTF-8", "900642"}, {"x86_64", "GB18030", "900640"},
                    {"aarch64", "gbk", "900640"},  {"i686", "ISO-8859-1", "900321"},
                    {"i686", "CP1252", "900321"},  {"x86_64", "ANSI_X3.4-1968", "900642"}};
    for (const auto& c : os_cases) {
        EXPECT_EQ(MachineInfo(Fixture("desktop", c.machine, c.codeset)).OsCode(), c.code)
            << c.machine << " " << c.codeset;
    }
}

TEST(MachineInfo, DesktopHardwareComesFromItsSources) {
    MachineInfo info(Fixture("desktop"));
    Json::Value object(Json::objectValue);
    info.CollectFlagged(object, 7);
    ASSERT_EQ(object["CPU"].size(), 1u);  // two logical processors of one package
    EXPECT_EQ(object["CPU"][0]["CPU_Name"], "Intel(R) Core(TM) i5-8400 CPU @ 2.80GHz");
    EXPECT_EQ(object["CPU"][0]["CPU_Manufacturer"], "GenuineIntel");
    EXPECT_EQ(object["CPU"][0]["CPU_Architecture"], "x64");
    EXPECT_EQ(object["Memory_Total_Capacity"].asUInt64(), 16318304ull * 1024);
    ASSERT_EQ(object["Memory"].size(), 1u);  // the empty slot is left out
    EXPECT_EQ(object["Memory"][0]["Memory_Type"], "DDR-3");
    EXPECT_EQ(object["Memory"][0]["Memory_Capacity"].asUInt64(), 8ull << 30);
    EXPECT_EQ(object["Memory"][0]["Memory_Frequency"].asUInt(), 1600u);
    ASSERT_EQ(object["Video_Card"].size(), 1u);
    EXPECT_EQ(object["Video_Card"][0]["Video_Card_Name"], "i915 [8086:3E92]");
    EXPECT_EQ(object["Video_Card"][0]["Video_Card_Driver_Version"], "1.6.0");
    EXPECT_FALSE(object["Video_Card"][0].isMember("Video_Card_Memory_Capacity"));

    Json::Value rest(Json::objectValue);
    info.Hardware().CollectDisk(rest);
    info.Hardware().CollectMonitor(rest);
    info.Hardware().CollectNetworkAdapters(rest);
    info.Hardware().CollectSoundDevices(rest);
    EXPECT_EQ(Names(rest["Disk"], "Disk_Caption"), std::vector<std::string>{"Samsung SSD 860"});
    EXPECT_EQ(rest["Disk"][0]["Disk_Capacity"].asInt64(), 976773168ll * 512);
    EXPECT_EQ(rest["Disk_File_System"], "ext4");
    ASSERT_EQ(rest["Monitor"].size(), 1u);  // the disconnected output is left out
    const Json::Value& monitor = rest["Monitor"][0];
    EXPECT_EQ(monitor["Manufacturer"], "DISPLAY DEL40B4");
    EXPECT_EQ(monitor["Current_Resolution_Width"].asInt(), 1920);
    EXPECT_EQ(monitor["Max_Width"].asInt(), 2560);
    EXPECT_EQ(monitor["Max_Height"].asInt(), 1440);
    EXPECT_EQ(monitor["Width_Height"], "1.777778");
    EXPECT_EQ(Names(rest["Netword_Adapter"], "Name"),
              (std::vector<std::string>{"enp3s0", "wlp4s0"}));
    EXPECT_EQ(rest["Netword_Adapter"][0]["Speed"].asInt64(), 1000000000);
    EXPECT_FALSE(rest["Netword_Adapter"][1].isMember("Speed"));
    EXPECT_EQ(Names(rest["Sound_Card"], "Sound_Card_Name"),
              (std::vector<std::string>{"HDA Intel PCH", "HDA NVidia"}));
}

TEST(MachineInfo, SoftwareAndDeviceReportFollowTheKeysFile) {
    MachineInfo info(Fixture("desktop"));
    // Match texts in capitals find lower-case package names; removed packages are not installed.
    EXPECT_EQ(Names(info.SoftwareCategory("Browser_Software"), "Name"),
              std::vector<std::string>{"firefox-esr"});
    EXPECT_EQ(info.SoftwareCategory("Browser_Software")[0]["Version"], "115.5.0esr-1");
    EXPECT_EQ(Names(info.SoftwareCategory("Office_Software"), "Name"),
              std::vector<std::string>{"libreoffice-writer"});
    EXPECT_TRUE(info.SoftwareCategory("Security_Software").empty());
    EXPECT_TRUE(info.SoftwareCategory("Chat_Tools").empty());

    const Json::Value report = info.DeviceReport();
    EXPECT_FALSE(report.isMember("Extra_Err_Msg"));
    EXPECT_EQ(report["Mac_Address"], info.MacText());
    ASSERT_EQ(report["Client_Info"].size(), 3u);
    const Json::Value& hardware = report["Client_Info"][0];
    EXPECT_EQ(hardware["Module"], "pt_hardware");
    for (const char* key : {"CPU", "Disk", "Monitor", "Netword_Adapter", "Sound_Card", "MachId"}) {
        EXPECT_TRUE(hardware.isMember(key)) << key;
    }
    // SubmitType must be exactly "Yes".
    EXPECT_FALSE(hardware.isMember("Memory"));
    EXPECT_FALSE(hardware.isMember("Video_Card"));
    EXPECT_EQ(report["Client_Info"][1].size(), 12u);  // Module and eleven categories
    EXPECT_EQ(report["Client_Info"][2]["Windows_Code"], "900642");
}

TEST(MachineInfo, VirtualMachineWithoutDmiSoundOrDrmLeavesThoseKeysOut) {
    MachineInfo info(Fixture("vm"));
    Json::Value object(Json::objectValue);
    info.CollectFlagged(object, 7);
    info.Hardware().CollectMonitor(object);
    info.Hardware().CollectSoundDevices(object);
    info.Hardware().CollectNetworkAdapters(object);
    EXPECT_EQ(object["CPU"][0]["CPU_Manufacturer"], "AuthenticAMD");
    EXPECT_TRUE(object.isMember("Memory_Total_Capacity"));
    for (const char* key : {"Memory", "Video_Card", "Monitor", "Sound_Card"}) {
        EXPECT_FALSE(object.isMember(key)) << key;
    }
    EXPECT_EQ(Names(object["Netword_Adapter"], "Name"), std::vector<std::string>{"ens3"});
    EXPECT_EQ(info.MachineIdText().substr(12), "1122");
    const Json::Value report = info.DeviceReport();  // no keys file in this tree
    EXPECT_EQ(report["Extra_Err_Msg"], MachineInfo::kMissingKeysText);
    EXPECT_TRUE(report["Client_Info"][1]["Browser_Software"].empty());
}

TEST(MachineInfo, ThisMachineIsDescribedWithoutFailing) {
    MachineInfo info(MachineSources::Live());
    const std::string id = info.MachineIdText();
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    const Json::Value report = info.DeviceReport();
    EXPECT_EQ(report["Client_Info"].size(), 3u);
    Json::Value object(Json::objectValue);
    info.CollectFlagged(object, 7);
    EXPECT_EQ(info.OsCode().substr(0, 3), MachineInfo::kLinuxOsCode);
}

std::vector<uint8_t> Type17(uint8_t length, uint16_t size, uint8_t type, uint16_t speed,
                            uint32_t extended = 0) {
    std::vector<uint8_t> bytes(std::max<size_t>(length, 2), 0);
    bytes[0] = 17;
    bytes[1] = length;
    const auto put = [&](size_t at, uint32_t value, size_t width) {
        for (size_t i = 0; i < width && at + i < bytes.size(); ++i) {
            bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    put(0x0C, size, 2);
    put(0x12, type, 1);
    put(0x15, speed, 2);
    put(0x1C, extended, 4);
    return bytes;
}

TEST(MemoryDevice, SizesTypesAndShortStructures) {
    const struct {
        std::vector<uint8_t> bytes;
        bool present;
        std::optional<uint64_t> capacity;
        const char* type;
        std::optional<uint32_t> speed;
    } cases[] = {
        {Type17(0x22, 8192, 0x18, 1600), true, 8ull << 30, "DDR-3", 1600},
        {Type17(0x22, 0, 0x18, 1600), false, {}, "", {}},  // empty slot
        {Type17(0x22, 0x7FFF, 0x1A, 3200, 32768), true, 32ull << 30, "DDR-4", 3200},
        {Type17(0x22, 0x8000 | 512, 0x0F, 0), true, 512ull << 10, "SDRAM", {}},  // KiB units
        {Type17(0x22, 0xFFFF, 0x02, 0xFFFF), true, {}, "", {}},                  // all unknown
        {Type17(0x10, 4096, 0x18, 1600), true, 4ull << 30, "", {}},              // version 2.1
        {Type17(0x0D, 4096, 0x18, 1600), false, {}, "", {}},                     // too short
        {std::vector<uint8_t>{16, 0x22, 0, 0}, false, {}, "", {}},               // another type
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto device = MemoryDevice::Parse(cases[i].bytes);
        ASSERT_EQ(device.has_value(), cases[i].present) << i;
        if (device) {
            EXPECT_EQ(device->capacity_bytes, cases[i].capacity) << i;
            EXPECT_EQ(device->type, cases[i].type) << i;
            EXPECT_EQ(device->speed_mts, cases[i].speed) << i;
        }
    }
    // A length byte beyond the bytes given reads no further than they go.
    std::vector<uint8_t> cut = Type17(0x22, 8192, 0x18, 1600);
    cut.resize(0x14);
    EXPECT_EQ(MemoryDevice::Parse(cut)->type, "DDR-3");
}

}  // namespace
}  // namespace kf
