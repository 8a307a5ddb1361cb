// libFuzzer target: resource lists read from any bytes, and the mirrors they give each file of
// the default product. Every mirror must be a plain "http://host/path" line with a plain Host.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/platform/ProductInfo.h"
#include "app/platform/ResourceList.h"
#include "app/platform/TextChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kf::app::ResourceList;
    static const kf::app::ProductInfo product = kf::app::ProductInfo::Default();
    const auto list =
        ResourceList::Parse(std::string_view(reinterpret_cast<const char*>(data), size), nullptr);
    if (!list) {
        return 0;
    }
    if (!list->expiry.url.empty() && !kf::app::IsWebUrl(list->expiry.url, true)) {
        __builtin_trap();
    }
    const bool complete = size > 0 && (data[0] & 1) != 0;
    const auto mirrors = list->MirrorsFor(product, size % 4 - 1, {complete, false, !complete});
    for (const auto& file : mirrors) {
        if (file.size() > ResourceList::kMaxMirrorsPerFile) {
            __builtin_trap();
        }
        for (const ResourceList::Mirror& mirror : file) {
            const std::string_view url = mirror.url;
            const size_t path = url.find('/', 7);
            if (!url.starts_with("http://") || path == std::string_view::npos ||
                !kf::app::IsPlainHost(url.substr(7, path - 7)) ||
                !kf::app::IsPlainUrlPath(url.substr(path)) || !kf::app::IsPlainHost(mirror.host)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
