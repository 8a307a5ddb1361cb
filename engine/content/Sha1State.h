#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kf {

using Sha1Digest = std::array<uint8_t, 20>;

// An SHA-1 (FIPS 180-1) computation in progress, on OpenSSL's hash core. The resume record keeps
// an unfinished state as the 104-byte context of the RFC 3174 reference code; Export and Import
// convert to and from that layout only when a record is written or read.
//
// RFC 3174 layout, integers little-endian: 0 five 32-bit intermediate hash words; 20 length in
// bits, low 32 bits; 24 high 32 bits; 28 16-bit index into the message block; 30 the 64-byte
// message block; 94 two bytes of padding; 96 32-bit computed flag; 100 32-bit corrupted flag.
class Sha1State {
  public:
    static constexpr size_t kExportSize = 104;
    using Exported = std::array<uint8_t, kExportSize>;

    Sha1State();

    void Reset();
    void Update(std::span<const uint8_t> data);
    // Finishes the digest; the state starts again afterwards.
    Sha1Digest Finish();
    // Bytes hashed so far.
    uint64_t Length() const;

    Exported Export() const;
    // Refuses (nullopt) a state marked computed or corrupted, a block index outside 0..63, or a
    // bit length that disagrees with the index. The bytes are untrusted.
    static std::optional<Sha1State> Import(std::span<const uint8_t> bytes);

    static Sha1Digest Of(std::span<const uint8_t> data);

  private:
    // OpenSSL's SHA_CTX, kept opaque here so that the deprecated low-level header stays in one
    // source file: h0..h4, Nl, Nh, 16 data words, num.
    alignas(8) std::array<uint32_t, 24> context_{};
};

}  // namespace kf
