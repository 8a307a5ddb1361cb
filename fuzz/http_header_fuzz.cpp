// libFuzzer target: the HTTP response header parser and its derived values, on any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/peers/HttpResponseHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    kf::HttpResponseHeader header;
    size_t length = 0;
    if (header.Parse(bytes, length) != kf::HttpResponseHeader::Outcome::kComplete) {
        return 0;
    }
    if (length > bytes.size() || length > kf::HttpResponseHeader::kMaxHeaderBytes) {
        __builtin_trap();
    }
    (void)header.StatusClass();
    (void)header.Header("Location");
    (void)header.ContentLength();
    (void)header.GetContentRange();
    (void)header.ContentRangeTotal();
    (void)header.DispositionFileName();
    // Parsing the header alone must give the same length.
    kf::HttpResponseHeader again;
    size_t again_length = 0;
    if (again.Parse(bytes.substr(0, length), again_length) !=
            kf::HttpResponseHeader::Outcome::kComplete ||
        again_length != length) {
        __builtin_trap();
    }
    return 0;
}
