#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

// The layout of a task that has no metainfo (plain server sources): one file whose size the first
// server reported. It is kept in the resume file's "torrent" part, so that a recovered task builds
// the same piece map before any server answers. Pieces of such a map have no digests: a piece
// counts as verified once its data has been written in full.
struct PlainLayout {
    int64_t size = 0;
    int32_t piece_length = 0;
    std::string path;  // the target file

    // 16 KiB pieces for small files, doubling up to 1 MiB, so that a file has about 256 pieces or
    // fewer before the largest piece length is reached (large pieces keep the servers' streams
    // long; a file has pieces enough to share among several servers).
    static int32_t PieceLengthFor(int64_t size);
    // A file name from a server (URL or Content-Disposition) made safe to use inside the target
    // folder: the last path segment, never "." or "..", never empty.
    static std::string SafeFileName(std::string_view name);

    std::string Encode() const;
    // None when `bytes` is not such a record (for instance a metainfo file).
    static std::optional<PlainLayout> Decode(std::string_view bytes);
};

}  // namespace kf
