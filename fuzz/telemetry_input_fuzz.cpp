// libFuzzer target: the outside inputs of the telemetry layer from any bytes - the data-upload
// configuration, an SMBIOS memory-device structure, the SystemInfoKeys.xml text and an event's
// info text. The first byte picks the reader. Every URL read is non-empty and within the cap,
// and a parsed memory module is never larger than the structure can say.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "telemetry/CollectorConfig.h"
#include "telemetry/MemoryDevice.h"
#include "telemetry/SystemInfoKeys.h"
#include "telemetry/TelemetrySink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    switch (data[0] % 4) {
        case 0:
            if (const auto config = kf::CollectorConfig::Parse(text)) {
                const auto urls = config->Urls("SubmitEventDownloadSeveral");
                if (urls.size() > kf::CollectorConfig::kMaxUrls ||
                    config->Entries().size() > kf::CollectorConfig::kMaxEntries) {
                    __builtin_trap();
                }
                for (const std::string& url : urls) {
                    if (url.empty()) {
                        __builtin_trap();
                    }
                }
            }
            break;
        case 1:
            if (const auto device = kf::MemoryDevice::Parse(rest)) {
                if (device->capacity_bytes && *device->capacity_bytes > (uint64_t{1} << 51)) {
                    __builtin_trap();
                }
            }
            break;
        case 2:
            if (const auto keys = kf::SystemInfoKeys::Parse(text)) {
                if (keys->MatchTexts("Browser_Software").size() >
                    kf::SystemInfoKeys::kMaxMatchTexts) {
                    __builtin_trap();
                }
            }
            break;
        default: {
            uint32_t flags = 0;
            kf::TelemetrySink::ReportOf(text, &flags);
            break;
        }
    }
    return 0;
}
