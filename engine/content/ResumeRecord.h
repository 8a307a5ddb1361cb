#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/content/Sha1State.h"

namespace kf {

// The piece map's resume record (the "bits" part of the resume file): one bencoded dictionary
// built by appending, in order,
//   "infohash" + 20 raw bytes (when known);
//   per target file: its current path, "Low" and "High" carrying the halves of its last-write
//     FILETIME, "Size" carrying its size on disk (-1: could not be opened), "Priority";
//   "PieceStatus" + a list with, per partially written piece, a dictionary of "Index", "Part"
//     (bytes written), "Status" + the 104-byte RFC 3174 SHA-1 state, "CRC32" (Adler-32 of the
//     state started from the piece index);
//   "BitField" + the bitfield bytes (most significant bit first).
// An integer of 0 is written without its integer part; readers take a missing integer as 0.
//
// Decode reads untrusted bytes and applies the record's own acceptance rules; the checks against
// the files on disk are the piece map's.
class ResumeRecord {
  public:
    struct FileState {
        std::string path;
        uint32_t time_low = 0;
        uint32_t time_high = 0;
        int64_t size = -1;
        int32_t priority = 0;
    };
    struct PieceState {
        int64_t index = 0;
        int64_t part = 0;
        Sha1State::Exported status{};
    };
    // A file of the piece map as Decode looks it up.
    struct FileQuery {
        std::string path;
        std::string final_path;  // empty when no temporary name is in use
    };
    struct FileFound {
        uint32_t time_low = 0;
        uint32_t time_high = 0;
        int64_t size = 0;
        // Present when a "Priority" entry follows "Size" with a value in -2..2.
        std::optional<int32_t> priority;
    };
    struct Decoded {
        std::vector<FileFound> files;  // one per query
        std::vector<uint8_t> bitfield;
        // Entries that passed their own tests (index in range, bit clear, CRC, part > 0).
        std::vector<PieceState> pieces;
    };

    std::optional<Sha1Digest> info_hash;
    std::vector<FileState> files;
    std::vector<PieceState> pieces;
    std::vector<uint8_t> bitfield;

    std::string Encode() const;

    // Refused (nullopt) when the bytes do not parse, a stored info-hash differs from
    // `current_hash` (or one is stored and `current_hash` is null), a file is not found or is not
    // followed by "Low", "High", "Size", or "BitField" is missing or not bitfield-sized.
    static std::optional<Decoded> Decode(std::span<const uint8_t> bytes,
                                         const Sha1Digest* current_hash,
                                         std::span<const FileQuery> files, int64_t piece_count);

    // "CRC32" of a piece's state.
    static uint32_t StatusChecksum(int64_t index, std::span<const uint8_t> status);
};

}  // namespace kf
