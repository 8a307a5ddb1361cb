#pragma once

#include <functional>
#include <string>

namespace kf {

// Where the machine description reads from. Every root is a folder that stands for "/" of one
// system tree, so that tests point the collector at fixture trees; Live() is this machine.
//
// Plain data, copied into each collector. The functions stand in for what no file tree holds.
struct MachineSources {
    std::string proc = "/proc";
    std::string sys = "/sys";
    std::string dpkg_status = "/var/lib/dpkg/status";
    // The folder holding "SystemInfoKeys.xml" (the program's own folder when live).
    std::string keys_folder;
    // The file system whose id goes into the machine id.
    std::string root_path = "/";
    // Architecture name as uname(2) gives it ("x86_64"); empty: unknown.
    std::string machine;
    // The locale's character set ("UTF-8", "GB18030"); empty: unknown.
    std::string codeset;
    // The first IPv4 address text of an interface, or empty.
    std::function<std::string(const std::string& interface_name)> ipv4_of;
    // The 32-bit id of the file system at a path; false when it cannot be read.
    std::function<bool(const std::string& path, uint32_t* id)> file_system_id;

    static MachineSources Live();
};

}  // namespace kf
