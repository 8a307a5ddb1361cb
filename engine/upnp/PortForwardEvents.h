#pragma once

namespace kf::port_forward {

// Event codes and texts of the port mapping, as the telemetry receiver knows them.
inline constexpr const char* kMappedEvent = "11390000";
inline constexpr const char* kDirectEvent = "11390001";
inline constexpr const char* kFailedEvent = "11500105";

inline constexpr const char* kNoPortText = "没有可用的端口，uPnP失败";
inline constexpr const char* kNoLocalAddressText = "无法获取本地ip，uPnP失败";
inline constexpr const char* kDirectText = "无需uPnP：本机直通外网";
inline constexpr const char* kDeviceThreadFailedText = "IGD设备信息线程创建失败";
inline constexpr const char* kMappingThreadFailedText = "uPnP线程创建失败";
inline constexpr const char* kTimedOutText = "uPnP失败，获取IGD设备超时";
inline constexpr const char* kRefusedText = "IGD设备已找到，但是uPnP依然失败";
inline constexpr const char* kNoDeviceText = "uPnP失败，因为没有IGD设备信息";

// Progress codes (the first value of a report) and their failure value.
inline constexpr int kDeviceProgress = 17;
inline constexpr int kDeviceFinished = 18;
inline constexpr int kMappingProgress = 33;
inline constexpr int kMappingFinished = 34;
inline constexpr int kFailure = static_cast<int>(0x80004005u);

}  // namespace kf::port_forward
