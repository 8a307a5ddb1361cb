#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/content/TPieces.h"

namespace kf::test {

// Content on disk with its metainfo, for piece map tests.
struct Content {
    std::string metainfo;
    // The files in stream order: path relative to the torrent's top ("a.bin", "sub/b.bin") and
    // their bytes.
    std::vector<std::pair<std::string, std::string>> files;
    std::string stream;  // all files end to end
    std::string name;
    int32_t piece_length = 0;
    int64_t piece_count() const {
        return (static_cast<int64_t>(stream.size()) + piece_length - 1) / piece_length;
    }
};

// Writes `sizes.size()` random files (one: a single-file torrent named `name`; several: a folder
// `name` with files f0.bin, f1.bin, sub/f2.bin, ...) under `source_folder` and makes their
// metainfo with mktorrent. `metainfo` is empty when mktorrent failed.
Content MakeContent(const std::string& source_folder, const std::string& name,
                    const std::vector<int64_t>& sizes, int log2_piece, uint32_t seed);

// A metainfo built by hand (for layouts mktorrent will not make). `files` empty: single file of
// `length` bytes named `name`. Digests are those of `stream` when given, else zero bytes.
struct HandMadeFile {
    std::vector<std::string> path;
    int64_t length;
};
std::string HandMadeMetainfo(const std::string& name, int32_t piece_length, int64_t length,
                             const std::vector<HandMadeFile>& files, const std::string& stream,
                             int64_t digest_count = -1);

// A piece map for `metainfo`, loaded through its torrent. `loaded` tells Load's answer.
RefPtr<TPieces> LoadPieces(TaskLink* task, const PiecesParams& params, const std::string& metainfo,
                           bool* loaded);

// Feeds the whole of `stream` to the piece map in 16 KiB blocks, pieces in `order` (every piece
// when empty). Answers false when a block was refused.
bool Feed(TPieces& pieces, const std::string& stream, const std::vector<int64_t>& order = {},
          DataSource* source = nullptr);

// Shuffled piece order 0..count-1.
std::vector<int64_t> Shuffled(int64_t count, uint32_t seed);

// A data source that records the bad-piece notices it is sent.
struct CountingSource : DataSource {
    void OnBadPiece(PieceIndex piece, bool whole) override {
        bad.push_back(piece.value());
        whole_flags.push_back(whole);
    }
    std::vector<int64_t> bad;
    std::vector<bool> whole_flags;
};

}  // namespace kf::test
