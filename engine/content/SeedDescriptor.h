#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/content/Sha1State.h"

namespace kf {

// A seed descriptor: a short text naming the info-hash, size, piece length and one tracker of a
// single file, in place of a metainfo file. Five markers, each found anywhere in the text:
//   "$Hash$"    followed by exactly 40 hexadecimal characters
//   "$Size$"    followed by the size in bytes (32-bit signed decimal)
//   "$Length$"  followed by the piece length (same reading)
//   "$Tracker$" followed by the tracker address up to "$End$"; the first "$$$" after its first
//               character stands for "://"
// Parse refuses (nullopt) a text that lacks a marker, has "$End$" before "$Tracker$", a hash
// that is not 40 hex digits, or a size or piece length that is not positive. Untrusted input.
class SeedDescriptor {
  public:
    Sha1Digest info_hash{};
    std::string info_hash_hex;      // the 40 characters as written (case kept)
    std::string info_hash_escaped;  // letters and digits as they are, other bytes as %xx
    int64_t size = 0;
    int32_t piece_length = 0;
    std::string tracker;

    static std::optional<SeedDescriptor> Parse(std::string_view text);
    // Pieces the descriptor's content has.
    int64_t PieceCount() const { return (size + piece_length - 1) / piece_length; }
};

}  // namespace kf
