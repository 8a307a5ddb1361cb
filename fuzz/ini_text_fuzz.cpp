// libFuzzer target: INI texts (a product folder's product.ini) read from any bytes. Every key
// read is found again by its section and name, and no value keeps a line end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/platform/IniText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kf::app::IniText;
    const auto ini =
        IniText::Parse(std::string_view(reinterpret_cast<const char*>(data), size), nullptr);
    if (!ini) {
        return 0;
    }
    if (ini->Entries().size() > IniText::kMaxEntries) {
        __builtin_trap();
    }
    for (const IniText::Entry& entry : ini->Entries()) {
        const std::string* value = ini->Find(entry.section, entry.key);
        if (value == nullptr || *value != entry.value ||
            entry.value.find('\n') != std::string::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
