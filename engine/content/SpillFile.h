#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/content/Sha1State.h"
#include "engine/os/AtomicFile.h"
#include "engine/os/FileSystem.h"

namespace kf {

// The spill file (resume file name + "df"): received blocks of pieces that were not yet verified
// when the task stopped. A sequence of records, each a 16-byte header of four 32-bit
// little-endian fields and its data:
//   0 length   data bytes that follow, 1 <= length < piece length + 1 MiB
//   4 checksum Adler-32 of the data, started from the Adler-32 of the 20 raw info-hash bytes,
//              itself started from the piece index
//   8 index    piece index
//   12         0
// The data is a piece's block map (PieceSlot::SerializeBlocks). The file is untrusted input: a
// record is read only when its length is within the bounds above and at most kMaxData bytes,
// and reading stops at the first record that is short, out of bounds or fails its checksum.
class SpillFile {
  public:
    static constexpr size_t kHeaderSize = 16;
    // The largest block map the format carries: 512 entries of 16400 bytes after a 16-byte head.
    static constexpr int64_t kMaxData = 16 + int64_t{16400} * 512;
    static constexpr int64_t kBatch = 1 << 20;

    static uint32_t Checksum(int64_t index, const Sha1Digest& info_hash,
                             std::span<const uint8_t> data);

    // Writes a new spill file under a temporary name; Commit replaces the old one. Records
    // shorter than kBatch are gathered and written in batches of at least kBatch bytes. After a
    // short write the file keeps the records that were written whole.
    class Writer {
      public:
        Writer(os::FileSystem& fs, const std::string& path, const Sha1Digest& info_hash);
        bool Open();
        bool Add(int64_t index, std::span<const uint8_t> data);
        bool Commit();
        int64_t records() const { return records_; }

      private:
        bool Flush();

        os::AtomicFile file_;
        Sha1Digest info_hash_;
        std::vector<uint8_t> batch_;
        std::vector<int64_t> batch_ends_;  // record ends inside batch_
        int64_t whole_ = 0;                // bytes of whole records in the file
        int64_t records_ = 0;
        bool failed_ = false;
    };

    class Reader {
      public:
        Reader(os::FileSystem& fs, const std::string& path, const Sha1Digest& info_hash,
               int32_t piece_length, int64_t piece_count);
        bool Open();
        // The next acceptable record; false at the end or at the first bad record.
        bool Next(int64_t* index, std::vector<uint8_t>* data);

      private:
        os::FileSystem& fs_;
        std::string path_;
        Sha1Digest info_hash_;
        int32_t piece_length_;
        int64_t piece_count_;
        os::File file_;
        int64_t offset_ = 0;
    };
};

}  // namespace kf
