#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kf {

// One memory module as the firmware's SMBIOS table describes it (structure type 17, read from
// /sys/firmware/dmi/entries/17-N/raw).
//
// Parse: bytes in, record out; the bytes are untrusted and only their formatted area (the length
// byte, at most the span) is read. None for a structure that is not type 17, is too short, or
// describes an empty slot. A field the structure lacks or marks unknown stays empty.
struct MemoryDevice {
    std::optional<uint64_t> capacity_bytes;
    std::string type;  // "DDR-3", "SDRAM"...; empty when unknown
    std::optional<uint32_t> speed_mts;

    static std::optional<MemoryDevice> Parse(std::span<const uint8_t> bytes);
};

}  // namespace kf
