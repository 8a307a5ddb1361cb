#pragma once

#include <cstdint>

namespace kf {

// Fixed-width integers in records and wire messages, byte by byte so that neither the host's
// byte order nor the alignment of the buffer matters.

inline void StoreLe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t LoadLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

inline void StoreBe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

inline uint16_t LoadBe16(const uint8_t* in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

inline void StoreBe32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

inline uint32_t LoadBe32(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

inline void StoreBe64(uint8_t* out, uint64_t value) {
    StoreBe32(out, static_cast<uint32_t>(value >> 32));
    StoreBe32(out + 4, static_cast<uint32_t>(value));
}

inline uint64_t LoadBe64(const uint8_t* in) {
    return (static_cast<uint64_t>(LoadBe32(in)) << 32) | LoadBe32(in + 4);
}

}  // namespace kf
