// Resume record and spill data are read back from disk and are untrusted. The first byte picks
// the reader: 0 the resume record, 1 a spill record's block map, 2 a whole spill file. Every
// input must be read without faults; what is accepted must be self-consistent.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/content/PieceSlot.h"
#include "engine/content/ResumeRecord.h"
#include "engine/content/SpillFile.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void FuzzRecord(std::span<const uint8_t> data) {
    kf::Sha1Digest hash;
    hash.fill('H');
    const std::vector<kf::ResumeRecord::FileQuery> queries = {{"/d/a.kftmp", "/d/a"}, {"/d/b", ""}};
    const int64_t pieces = data.empty() ? 1 : 1 + data[0] % 64;
    const auto decoded = kf::ResumeRecord::Decode(data, &hash, queries, pieces);
    if (!decoded) {
        return;
    }
    Check(decoded->files.size() == queries.size());
    Check(static_cast<int64_t>(decoded->bitfield.size()) == (pieces + 7) / 8);
    for (const auto& piece : decoded->pieces) {
        Check(piece.index >= 0 && piece.index < pieces && piece.part > 0);
        if (auto state = kf::Sha1State::Import(piece.status)) {
            Check(kf::Sha1State::Import(state->Export()).has_value());
        }
    }
}

void FuzzBlockMap(std::span<const uint8_t> data) {
    if (data.empty()) {
        return;
    }
    const int32_t size = kf::kBlockSize * (1 + data[0] % 40) - (data[0] & 1);
    kf::BlockPool pool;
    kf::PieceSlot slot(kf::PieceIndex(0), size, nullptr);
    const int64_t done = slot.RestoreBlocks(data.subspan(1), pool);
    if (done < 0) {
        Check(slot.cached_bytes() == 0);
        return;
    }
    // What was restored serialises again into a map that restores the same blocks.
    const std::vector<uint8_t> again = slot.SerializeBlocks();
    kf::PieceSlot copy(kf::PieceIndex(0), size, nullptr);
    if (!again.empty()) {
        Check(copy.RestoreBlocks(again, pool) >= 0);
        Check(copy.cached_bytes() == slot.cached_bytes());
    }
}

void FuzzSpillFile(std::span<const uint8_t> data) {
    if (data.empty()) {
        return;
    }
    const int fd = memfd_create("spill", 0);
    if (fd < 0) {
        return;
    }
    if (write(fd, data.data() + 1, data.size() - 1) == static_cast<ssize_t>(data.size() - 1)) {
        kf::Sha1Digest hash;
        hash.fill('H');
        const int32_t piece_length = kf::kBlockSize * (1 + data[0] % 8);
        kf::SpillFile::Reader reader(kf::os::FileSystem::Default(),
                                     "/proc/self/fd/" + std::to_string(fd), hash, piece_length, 4);
        if (reader.Open()) {
            int64_t index = 0;
            std::vector<uint8_t> record;
            kf::BlockPool pool;
            for (int n = 0; n < 64 && reader.Next(&index, &record); ++n) {
                Check(index >= 0 && index < 4 && !record.empty());
                kf::PieceSlot slot(kf::PieceIndex(index), piece_length, nullptr);
                slot.RestoreBlocks(record, pool);
            }
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            FuzzRecord(rest);
            break;
        case 1:
            FuzzBlockMap(rest);
            break;
        default:
            FuzzSpillFile(rest);
            break;
    }
    return 0;
}
