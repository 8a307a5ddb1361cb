#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/kestrelfetch.h"

namespace kf::test {

// Helpers for tests that drive the engine only through its call interface, as an application
// does: content served over HTTP with its metainfo, task records, polling with bounded waits.

// A file for download tests: its bytes (also written where a server serves them) and the
// metainfo that makes it a P2SP task.
struct DownloadContent {
    std::string bytes;
    std::string torrent_path;  // empty when the metainfo could not be made
    int32_t piece_length = 0;
    int64_t piece_count() const {
        return piece_length == 0
                   ? 0
                   : (static_cast<int64_t>(bytes.size()) + piece_length - 1) / piece_length;
    }
};

// Writes `size` random bytes (from `seed`) to `served_path` and makes their metainfo
// `torrent_path` with pieces of 2^log2_piece bytes (mktorrent).
DownloadContent MakeDownloadContent(const std::string& served_path, int64_t size, int log2_piece,
                                    uint32_t seed, const std::string& torrent_path);

// Lower-case hexadecimal SHA-1 of `bytes`.
std::string Sha1Hex(std::string_view bytes);

// The engine for the length of a test: the log and InitEngine at construction, CleanupEngine and
// the log's release at destruction.
class EngineSession {
  public:
    EngineSession();
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

// The record of a P2SP task: the swarm named by the metainfo at `torrent_path`, the source lines
// `sources` (kept alive by the caller until the creation call returns), the content written to
// the full path `target_file`, the resume file `resume_path`.
TaskParams P2spTaskParams(const std::string& torrent_path, const char* sources,
                          const std::string& target_file, const std::string& resume_path);

// The published task information; zeroed when the query is refused.
TaskInfo QueryInfo(KfTaskHandle task);
bool TaskComplete(KfTaskHandle task);

// Polls `done` every 20 ms until it holds or `timeout` has passed; answers its last value.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The task's published bitfield as one flag per piece (empty when it has none).
std::vector<bool> VerifiedPieces(KfTaskHandle task);

// The bytes of the content's pieces flagged in `pieces`.
int64_t PieceBytes(const DownloadContent& content, const std::vector<bool>& pieces);

// Pieces whose bytes in `file_bytes` differ from the content's, among those flagged in `only`
// (every piece when `only` is empty). A file shorter than a flagged piece counts it as wrong.
std::vector<int64_t> WrongPieces(const std::string& file_bytes, const DownloadContent& content,
                                 const std::vector<bool>& only = {});

}  // namespace kf::test
