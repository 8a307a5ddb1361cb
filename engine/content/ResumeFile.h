#pragma once

#include <cstdint>
#include <string>

#include "engine/os/FileSystem.h"

namespace kf {

// The task's resume file (".kfinfo"): one bencoded dictionary holding, each only when non-empty
// and in this order, "bits" (the piece map's resume record), "part" (the file-selection list),
// "seeds" (opaque bytes carried over from the file that was read) and "torrent" (the metainfo).
//
// Owner: the task's work thread, which loads it at start and saves it on its timer. A save
// replaces the file atomically (AtomicFile), so a crash leaves the old or the new file. The file
// is untrusted input: it is read only up to kMaxSize bytes and a part is taken only when it is
// longer than 2 bytes.
class ResumeFile {
  public:
    static constexpr int64_t kMaxSize = int64_t{64} << 20;

    ResumeFile(os::FileSystem& fs, std::string path);

    // Reads the file. False when it is missing, too large or does not parse; all four parts are
    // then empty. The change marks are cleared either way.
    bool Load();
    // Writes the file when a part changed since the last load or save. The marks are cleared only
    // when every byte reached the file; a failed save is tried again by the next one.
    bool Save();
    // Deletes the file (the task is complete) and forgets the parts.
    bool Remove();

    const std::string& path() const { return path_; }
    bool dirty() const { return dirty_; }
    const std::string& bits() const { return bits_; }
    const std::string& part() const { return part_; }
    const std::string& seeds() const { return seeds_; }
    const std::string& torrent() const { return torrent_; }
    void SetBits(std::string bytes) { Set(bits_, std::move(bytes)); }
    void SetPart(std::string bytes) { Set(part_, std::move(bytes)); }
    void SetTorrent(std::string bytes) { Set(torrent_, std::move(bytes)); }

    // The encoded dictionary as Save writes it.
    std::string Encode() const;

  private:
    void Set(std::string& field, std::string bytes);

    os::FileSystem& fs_;
    std::string path_;
    std::string bits_;
    std::string part_;
    std::string seeds_;
    std::string torrent_;
    bool dirty_ = false;
};

}  // namespace kf
