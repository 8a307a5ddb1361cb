#include "telemetry/MemoryDevice.h"

namespace kf {
namespace {

constexpr uint8_t kMemoryDeviceType = 17;
constexpr size_t kSizeOffset = 0x0C;
constexpr size_t kTypeOffset = 0x12;
constexpr size_t kSpeedOffset = 0x15;
constexpr size_t kExtendedSizeOffset = 0x1C;

uint32_t Word(std::span<const uint8_t> area, size_t at) {
    return area[at] | (static_cast<uint32_t>(area[at + 1]) << 8);
}

uint32_t DoubleWord(std::span<const uint8_t> area, size_t at) {
    return Word(area, at) | (Word(area, at + 2) << 16);
}

// The SMBIOS memory type codes, named as the collection service knows them.
std::string TypeName(uint8_t code) {
    switch (code) {
        case 0x03:
            return "DRAM";
        case 0x04:
            return "EDRAM";
        case 0x05:
            return "VRAM";
        case 0x06:
            return "SRAM";
        case 0x07:
            return "RAM";
        case 0x08:
            return "ROM";
        case 0x09:
            return "Flash";
        case 0x0A:
            return "EEPROM";
        case 0x0B:
            return "FEPROM";
        case 0x0C:
            return "EPROM";
        case 0x0D:
            return "CDRAM";
        case 0x0E:
            return "3DRAM";
        case 0x0F:
            return "SDRAM";
        case 0x10:
            return "SGRAM";
        case 0x11:
            return "RDRAM";
        case 0x12:
            return "DDR";
        case 0x13:
            return "DDR-2";
        case 0x18:
            return "DDR-3";
        case 0x1A:
            return "DDR-4";
        case 0x1E:
            return "LPDDR-3";
        case 0x1F:
            return "LPDDR-4";
        case 0x22:
            return "DDR-5";
        case 0x23:
            return "LPDDR-5";
        default:
            return {};
    }
}

}  // namespace

std::optional<MemoryDevice> MemoryDevice::Parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != kMemoryDeviceType) {
        return std::nullopt;
    }
    const std::span<const uint8_t> area = bytes.first(std::min<size_t>(bytes[1], bytes.size()));
    if (area.size() < kSizeOffset + 2) {
        return std::nullopt;
    }
    const uint32_t size = Word(area, kSizeOffset);
    if (size == 0) {
        return std::nullopt;
    }
    MemoryDevice device;
    if (size == 0x7FFF) {
        if (area.size() >= kExtendedSizeOffset + 4) {
            device.capacity_bytes = uint64_t{DoubleWord(area, kExtendedSizeOffset) & 0x7FFFFFFFu}
                                    << 20;
        }
    } else if (size != 0xFFFF) {
        const uint64_t units = size & 0x7FFF;
        device.capacity_bytes = (size & 0x8000) != 0 ? units << 10 : units << 20;
    }
    if (area.size() > kTypeOffset) {
        device.type = TypeName(area[kTypeOffset]);
    }
    if (area.size() >= kSpeedOffset + 2) {
        const uint32_t speed = Word(area, kSpeedOffset);
        if (speed != 0 && speed != 0xFFFF) {
            device.speed_mts = speed;
        }
    }
    return device;
}

}  // namespace kf
