#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace kf::test {

// Byte strings for wire-protocol tests: text or fixed arrays as bytes, and runs of them joined.
using Bytes = std::vector<uint8_t>;

inline Bytes Of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

template <size_t N>
Bytes Of(const std::array<uint8_t, N>& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

}  // namespace kf::test
