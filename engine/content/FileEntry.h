#pragma once

#include <cstdint>
#include <string>

#include "engine/content/StrongIndex.h"
#include "engine/os/File.h"

namespace kf {

// One target file of a piece map (TPieces), laid end to end with the others in the content's
// byte stream. Owned by its TPieces; task thread only.
struct FileEntry {
    static constexpr int32_t kSkipped = -3;

    FileIndex index;
    // Path as listed in the metainfo ("sub/file.bin"), used for the selection list.
    std::string relative_path;
    // The path written to (the temporary name while temp_marked) and the name after completion.
    std::string path;
    std::string final_path;
    bool temp_marked = false;
    int64_t size = 0;
    // Offset of the file's first byte in the stream.
    int64_t offset = 0;
    int64_t first_piece = 0;
    int64_t piece_span = 0;
    // -3 skipped, else -2..2.
    int32_t priority = 0;

    // Open handle and what is known about it.
    os::File file;
    bool writable = false;
    int64_t disk_size = -1;
    // Data written since the last fdatasync.
    bool dirty = false;

    bool skipped() const { return priority == kSkipped; }
};

}  // namespace kf
