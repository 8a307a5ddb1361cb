#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/content/BlockPool.h"
#include "engine/content/DataSource.h"
#include "engine/content/FileEntry.h"
#include "engine/content/InfoReader.h"
#include "engine/content/PieceSlot.h"
#include "engine/content/Sha1State.h"
#include "engine/content/StrongIndex.h"
#include "engine/content/TTorrent.h"
#include "engine/content/TaskLink.h"
#include "engine/os/FileSystem.h"

namespace kf {

class QElement;

// Everything a piece map needs besides its info dictionary, handed to its constructor.
struct PiecesParams {
    // Save folder; a '/' is added when missing. The files of a multi-file torrent go into
    // target_folder + name + '/'.
    std::string target_folder;
    // Explicit full path of a single-file target (empty: target_folder + name).
    std::string target_path;
    // Spill file of the resume record (empty: none).
    std::string spill_path;
    // "part" and "bits" of the task's resume file (may be empty).
    std::string selection_bytes;
    std::string resume_bytes;

    int32_t cache_units = 32;  // 256 KiB units; clamped to 4..8000 when set later
    bool preallocate = true;
    bool quick_check = false;
    bool use_resume = true;
    bool force_recheck = false;

    // Engine settings.
    std::string temp_suffix = ".kftmp";
    bool always_temp_name = true;
    bool engine_resume = true;
    int32_t idle_seconds = 3600;

    // Pause between free-space checks while the disk is short.
    int32_t space_wait_ms = 2000;
    // Seams for tests; defaults: the real disk, the engine clock, a plain sleep.
    os::FileSystem* file_system = nullptr;
    std::function<int64_t()> now;
    std::function<void(int32_t milliseconds)> sleep;
};

// Counters a task copies into its progress snapshot.
struct PiecesProgress {
    int64_t total_length = 0;
    int64_t piece_count = 0;
    int32_t piece_length = 0;
    int64_t checked_bytes = 0;
    int64_t verified_bytes = 0;
    int64_t verified_pieces = 0;
    int64_t bytes_left = 0;
    int64_t pieces_left = 0;
    int64_t cached_bytes = 0;
    int64_t held_bytes = 0;
};

// The storage side of one download task: the target files laid end to end, the fixed-size pieces
// over that stream, SHA-1 verification of every piece, the memory cache of received and verified
// data, and the start check that finds what is already on disk.
//
// Owner: the task (reference counted); it owns its TTorrent. Thread: the task's work thread only;
// file transfers take the engine's global disk lock. Reports to the task through TaskLink notices:
//   1 piece state (have flag / 4 / piece)      2 all pieces set or cleared (1|0)
//   3 start check began / resume applied       100 map built (1 / 4 / piece count)
//   1000 selection list (1 / length / bytes)   1001 resume record (1 / length / bytes; empty first)
//   1002 free space short                      1003 free space sufficient again
//   1004 a target file cannot be opened, sized or written
// Trust: the info dictionary, the resume record and the spill file are untrusted input; a path
// element that could leave the target folder makes ParseInfo refuse the metainfo.
class TPieces : public TRefObject, public InfoReader {
  public:
    static constexpr size_t kMaxPath = 4096;

    // AddData results besides the length taken.
    static constexpr int64_t kOutside = -1;
    static constexpr int64_t kHashFailed = -99;

    // `torrent`: the metainfo reader whose Load lays out this map (one is made when none is
    // given); this map becomes its InfoReader. `previous`: the task's earlier piece map, whose
    // file paths (and piece states, for the same content) the next ParseInfo carries over;
    // released after a successful parse.
    TPieces(TaskLink* task, PiecesParams params, RefPtr<TTorrent> torrent = {},
            RefPtr<TPieces> previous = {});
    ~TPieces() override;

    // Lays out files and pieces from the info dictionary, runs the start check and prepares the
    // files. False when the layout is refused, the start check failed or a stop was requested.
    bool ParseInfo(const QElement* info) override;
    // Lays out one file of `size` bytes without piece digests (seed descriptor, plain HTTP), then
    // runs the start check like ParseInfo: a piece counts as verified once its data has been
    // written in full. The file is the explicit target path, else target_folder + "001.kfinfo".
    bool LayOutWithoutDigests(int64_t size, int32_t piece_length) override;
    // Same, for a caller that names the file itself.
    bool LayOutSingleFile(int64_t size, int32_t piece_length, const std::string& path);
    TTorrent* torrent() const { return torrent_.get(); }

    // Received data at `offset` of the stream, inside one piece (data beyond the piece is not
    // taken). Answers the length taken (data already held counts as taken; a gap inside a block
    // stops taking), kOutside, or kHashFailed when the data completed the piece and the piece
    // failed its check (the piece is empty again and `source` has been told). `completed` is set
    // when the piece became complete and verified.
    int64_t AddData(int64_t offset, std::span<const uint8_t> data, DataSource* source,
                    bool* completed);
    // Received data written in place (a peer reads from its socket straight into the cache):
    // ReceiveRoom answers the memory where the bytes at `offset` belong, up to the end of their
    // block, or empty when they cannot go there (outside, piece verified or complete, block
    // already filled past `offset` or not up to it). CommitReceived then takes the first `length`
    // bytes written there, with AddData's answers and effects.
    std::span<uint8_t> ReceiveRoom(int64_t offset);
    int64_t CommitReceived(int64_t offset, int32_t length, DataSource* source, bool* completed);
    // Data of verified pieces for upload or for the task's read requests. Reads whole blocks from
    // the files (at least 64 KiB, or `read_ahead` bytes) and keeps them in the cache, whose size
    // bounds them: older blocks of verified pieces make room. Answers the bytes read, or -1 when
    // a piece in the range is not verified or cannot be read.
    int64_t ReadData(int64_t offset, std::span<uint8_t> out, int32_t read_ahead = 0);

    // Periodic cache work (the task runs it on its timer): writes idle partial data and held
    // pieces, drops pieces marked to be dropped, trims the cache.
    void CachePass();
    // Writes every held piece (before a save of the resume file, and at completion).
    bool WriteHeldPieces();
    // Runs the start check (at the end of ParseInfo, and when the task asks for it).
    bool StartCheck();
    // Closes the files. With `completion` (after the start check) finished temporary files are
    // renamed to their final names. Produces the resume record when anything was written.
    bool Close(bool has_written, bool completion);
    // Sends notice 1001 with the encoded resume record (an empty one first). Every target file
    // is flushed to the device before, so the record never claims data that is not on disk.
    bool ProduceResumeRecord();
    // Writes the spill file (received blocks of unverified pieces) beside the resume file, or
    // deletes it when every piece is verified.
    bool WriteSpillFile();

    void SetCacheUnits(int32_t units);
    void SetPreallocate(bool on) { params_.preallocate = on; }
    // -3 skips the file, -2..2 wants it. Sends notice 1000.
    bool SetFilePriority(FileIndex file, int32_t priority);
    void MarkDrop(PieceIndex piece);

    // Queries.
    bool valid() const { return valid_; }
    bool check_done() const { return check_done_; }
    bool has_digests() const { return has_digests_; }
    const std::string& name() const { return name_; }
    int64_t piece_count() const { return static_cast<int64_t>(slots_.size()); }
    int32_t piece_length() const { return piece_length_; }
    int64_t total_length() const { return total_length_; }
    PiecesProgress Progress() const;
    bool IsVerified(PieceIndex piece) const;
    bool IsComplete(PieceIndex piece) const;
    bool HasBlock(PieceIndex piece, BlockIndex block) const;
    int32_t BytesDone(PieceIndex piece) const;
    int32_t PieceSize(PieceIndex piece) const;
    // First run of missing bytes in a piece as [start, end) on block boundaries; {0, 0} when none.
    std::pair<int32_t, int32_t> MissingRange(PieceIndex piece) const;
    std::vector<PieceIndex> PartialPieces() const;
    const std::vector<uint8_t>& Bitfield() const { return have_; }
    size_t FileCount() const { return files_.size(); }
    const FileEntry& File(FileIndex file) const {
        return files_[static_cast<size_t>(file.value())];
    }
    bool IsFileComplete(FileIndex file) const;
    // The selection list (bencoded) as sent with notice 1000.
    std::string SelectionList() const;

  private:
    enum class Access { kRead, kWrite, kPrepare };

    // Layout.
    bool LayOutFiles(const QElement* info, bool* layout_refused);
    void ApplyTemporaryName(FileEntry& entry);
    bool Build();
    void ApplySelection();
    void PrepareFiles();

    // Files.
    bool OpenForAccess(FileEntry& entry, int64_t offset, Access access);
    bool WaitForSpace(const std::string& folder, int64_t needed);
    bool Grow(FileEntry& entry, int64_t wanted);
    void ReportWriteFailure(int error);
    void CloseFile(FileEntry& entry, bool* failed);
    bool SyncFiles();
    // Calls `part` for every file section of [offset, offset + length) of the stream.
    template <class Fn>
    bool ForEachFilePart(int64_t offset, int64_t length, Fn&& part);
    bool WriteRange(PieceSlot& slot, int32_t from, int32_t to);
    bool ReadStream(int64_t offset, std::span<uint8_t> out);
    // Whether [offset, offset + length) of the stream lies inside files of the given disk sizes.
    bool RangeOnDisk(int64_t offset, int64_t length, const std::vector<int64_t>& disk_sizes);

    // Pieces.
    // The rest of AddData once `taken` bytes are in the slot (`before`: its cached bytes then).
    int64_t AfterStore(PieceSlot& slot, int64_t before, int32_t taken, DataSource* source,
                       bool* completed);
    bool VerifyInMemory(PieceSlot& slot);
    void BecomeHeld(PieceSlot& slot);
    bool WriteHeld(PieceSlot& slot);
    bool WriteContiguous(PieceSlot& slot);
    void MarkVerified(PieceSlot& slot);
    void SetBit(int64_t piece, bool on);
    void ResetPiece(PieceSlot& slot);
    void Activate(PieceSlot& slot);
    void ClearAllStates();
    int64_t CacheLimit() const;
    void KeepFreeBlocks();
    void TrimCache(int64_t now);
    bool KeepMemoryBound();
    // Drops blocks of verified pieces (never those of `keep`) while the cache is over its size.
    void DropReadBlocks(int64_t keep);
    int64_t Now() const;

    // Start check.
    bool TakeOverPrevious();
    bool QuickCheck(bool* decided);
    bool FullRecheck();
    // After a record the files changed since (the process was killed before its next save):
    // pieces the record does not claim but whose data reached the disk are found by their hash.
    bool CheckUnclaimedPieces();
    bool PieceMatchesDisk(const PieceSlot& slot, std::span<uint8_t> buffer);
    bool PieceMayBeOnDisk(const PieceSlot& slot);
    bool VerifyFromDisk(PieceSlot& slot, std::span<uint8_t> buffer);
    bool AcceptResumeRecord();
    void ApplySpillFile();

    void Notice(int32_t type, int32_t value, int32_t kind, int64_t number,
                std::span<const uint8_t> bytes = {});
    bool StopRequested();
    // The torrent's info-hash, kept for the resume and spill records; unset while it is zero.
    void TakeInfoHash();

    TaskLink* task_;
    PiecesParams params_;
    os::FileSystem& fs_;
    RefPtr<TTorrent> torrent_;
    RefPtr<TPieces> previous_;
    std::optional<Sha1Digest> info_hash_;

    bool valid_ = false;
    bool has_digests_ = true;
    bool check_done_ = false;
    bool written_ = false;
    bool space_short_ = false;
    bool write_failure_reported_ = false;
    bool close_failed_ = false;
    bool written_after_record_ = false;  // a file's write time differs from the accepted record
    std::string name_;
    std::string digests_;
    std::vector<FileEntry> files_;
    std::vector<PieceSlot> slots_;
    std::vector<uint8_t> have_;
    std::vector<int64_t> active_;  // pieces with blocks in memory or held
    std::vector<bool> is_active_;
    int64_t total_length_ = 0;
    int32_t piece_length_ = 0;

    int64_t checked_bytes_ = 0;
    int64_t verified_bytes_ = 0;
    int64_t verified_pieces_ = 0;
    int64_t cached_bytes_ = 0;
    int64_t held_bytes_ = 0;
    int64_t last_flush_ = 0;
    BlockPool pool_;
    std::vector<uint8_t> read_buffer_;  // file reads of ReadData, kept between calls
};

}  // namespace kf
