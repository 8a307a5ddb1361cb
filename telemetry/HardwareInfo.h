#pragma once

#include <json/value.h>

#include "telemetry/MachineSources.h"

namespace kf {

// The hardware items of the machine description, read from procfs and sysfs under the given
// sources and added as members of a caller's JSON object:
//   CollectCpu             CPU: [{CPU_Name, CPU_Manufacturer, CPU_Type, CPU_Architecture}]
//   CollectMemory          Memory: [{Memory_Type, Memory_Capacity, Memory_Frequency}],
//                          Memory_Total_Capacity (bytes)
//   CollectVideoCard       Video_Card: [{Video_Card_Name, Video_Card_Memory_Capacity,
//                          Video_Card_Driver_Version}]
//   CollectDisk            Disk: [{Disk_Caption, Disk_Capacity}], Disk_File_System
//   CollectMonitor         Monitor: [{Manufacturer, Current_Resolution_Height/_Width,
//                          Width_Height, Max_Height, Max_Width}]
//   CollectNetworkAdapters Netword_Adapter: [{Name, Speed (bit/s)}]
//   CollectSoundDevices    Sound_Card: [{Sound_Card_Name}]
//
// Threads: any; nothing is shared. Results: a key whose source cannot be read is left out, never
// made up; a list whose source is missing entirely is left out too (the network adapters
// excepted: a single {Name, Speed} = "Unknown" as the collection service expects). Files are
// read with SourceFile's caps.
class HardwareInfo {
  public:
    explicit HardwareInfo(MachineSources sources) : sources_(std::move(sources)) {}

    void CollectCpu(Json::Value& object) const;
    void CollectMemory(Json::Value& object) const;
    void CollectVideoCard(Json::Value& object) const;
    void CollectDisk(Json::Value& object) const;
    void CollectMonitor(Json::Value& object) const;
    void CollectNetworkAdapters(Json::Value& object) const;
    void CollectSoundDevices(Json::Value& object) const;

  private:
    MachineSources sources_;
};

}  // namespace kf
