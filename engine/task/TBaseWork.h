#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/EngineNotices.h"
#include "engine/base/QThread.h"
#include "engine/kestrelfetch.h"
#include "engine/task/SourceEntry.h"
#include "engine/task/TaskProgress.h"
#include "engine/task/TaskSettings.h"

namespace kf {

// Task kinds, chosen from the creation flags.
enum class TaskKind { kHttp, kBt, kP2sp };

// The task parameters, settings and published progress of one download task. The engine's task
// table owns the task. Engine calls run on application threads and read only what is published
// under the task lock; the worker thread owns everything else.
class TBaseWork : public QThread {
  public:
    TBaseWork() = default;
    ~TBaseWork() override;

    // Takes the creation record: source lines, resume and spill paths, folder and target file,
    // flags and kind.
    void Configure(const TaskParams& params);
    // Whether this new task duplicates `other`, a live task: same full target file, same torrent
    // location (both P2SP or BT), or a large enough share of the same source lines.
    bool Duplicates(const TBaseWork& other) const;

    TaskKind Kind() const { return kind_; }
    const char* KindText() const;
    const std::string& TargetFile() const { return target_file_; }
    const std::string& Folder() const { return folder_; }
    const std::string& TorrentLocation() const { return torrent_location_; }
    const std::string& ResumePath() const { return resume_path_; }
    const std::string& SpillPath() const { return spill_path_; }
    bool FullPath() const { return full_path_; }

    // Engine-call side: everything here takes the task lock.
    void FillTaskInfo(TaskInfo& info);
    void FillTaskInfoEx(TaskInfoEx& info);
    void FillTorrentSummary(TorrentSummary& summary);
    // The caller's note; false when the line would take it past kMaxNoteBytes.
    static constexpr size_t kMaxNoteBytes = 65536;
    bool AppendNote(std::string_view line);
    std::string Note();
    bool IsComplete();
    int32_t SetSpeedLimit(int32_t direction, int32_t kib_per_second);
    void SetSeedingHours(int32_t hours);
    TaskSettings Settings();
    void ClearMirrors();
    void AddMirrors(const char* url_lines, const char* host_lines);
    bool MirrorMode();
    std::vector<std::string> MirrorUrls();
    std::vector<std::string> MirrorHosts();
    std::vector<SourceEntry> Sources();
    int32_t BitfieldSize();
    // Copies min(size, bitfield bytes) bytes and answers the number of valid bits.
    int32_t ReadBitfield(uint8_t* buffer, int32_t size);
    // Puts the source marks back as they were made at creation (the BT torrent line keeps its
    // mark, uses are forgotten).
    void RestoreSourceMarks();

    // Clears the run state of each layer; the base part clears the LAN state.
    virtual void Reset(bool full, bool keep);

    // The handle the engine calls know the task by.
    const void* Handle() const { return this; }
    // Posts a notice under this task's handle (nothing when nobody listens).
    void Notice(NoticeKind kind, std::string_view address, int64_t number,
                std::string_view text) const {
        PostNotice(kind, Handle(), address, number, text);
    }

  protected:
    // The files a restart deletes: the first target file (as named, with ".kftmp", ".kfinfo" and
    // ".kfinfodf") and the resume and spill files. Call with the thread stopped.
    std::vector<std::string> RestartFiles();
    // Copies the working snapshot (and with `force` the changed lists) to the published ones.
    // Without `extra` nothing happens when the task lock is busy.
    void Publish(bool force, bool extra);
    void ClearProgress();
    // The working state, under the task lock; a change is traced by name.
    void SetState(TaskState state);

    TaskProgress working_;
    TaskSettings settings_;
    // Set when the application changes a speed limit; the worker then takes the new caps at once.
    std::atomic<bool> limits_changed_{true};
    std::vector<SourceEntry> sources_;
    std::vector<uint8_t> bitfield_;  // the worker's copy
    bool bitfield_changed_ = false;
    bool sources_changed_ = false;

  private:
    bool SharesSourceLinesWith(const TBaseWork& other) const;

    TaskKind kind_ = TaskKind::kHttp;
    bool p2sp_ = false;
    bool bt_ = false;
    bool accepted_bit_ = false;
    bool full_path_ = false;
    std::string torrent_location_;
    std::string resume_path_;
    std::string spill_path_;
    std::string folder_;
    std::string target_file_;

    std::vector<std::string> mirror_urls_;
    std::vector<std::string> mirror_hosts_;
    bool mirror_mode_ = false;
    std::string note_;

    // Published copies, read by the engine calls under the task lock.
    TaskProgress published_;
    std::vector<uint8_t> published_bitfield_;
    int32_t published_piece_count_ = 0;
    std::vector<SourceEntry> published_sources_;
};

}  // namespace kf
