#include "engine/task/TBaseWork.h"

#include <algorithm>
#include <cstring>

#include "engine/base/EngineLog.h"

namespace kf {
namespace {

// A fixed text field of the parameter record, read up to its NUL or its end.
std::string FieldText(const char (&field)[KF_TEXT_MAX]) {
    return std::string(field, strnlen(field, KF_TEXT_MAX));
}

}  // namespace

TBaseWork::~TBaseWork() {
    StopThread();
}

void TBaseWork::Configure(const TaskParams& params) {
    for (std::string& line : SplitSourceLines(params.sources)) {
        sources_.push_back(SourceEntry{std::move(line), SourceEntry::kFresh});
    }
    resume_path_ = FieldText(params.resume_path);
    spill_path_ = resume_path_ + "df";
    folder_ = FieldText(params.target_path);

    p2sp_ = (params.flags & KF_FLAG_P2SP) != 0;
    bt_ = (params.flags & KF_FLAG_BT) != 0;
    accepted_bit_ = (params.flags & KF_FLAG_ACCEPTED) != 0;
    full_path_ = (params.flags & KF_FLAG_FULL_PATH) != 0;
    settings_.quick_check = (params.flags & KF_FLAG_QUICK_CHECK) != 0;

    if (p2sp_) {
        torrent_location_ = FieldText(params.torrent_location);
        kind_ = TaskKind::kP2sp;
    } else if (bt_) {
        if (!sources_.empty()) {
            torrent_location_ = sources_.front().text;
            sources_.front().mark = SourceEntry::kTorrentLine;
        }
        kind_ = TaskKind::kBt;
    } else {
        kind_ = TaskKind::kHttp;
    }

    if (full_path_) {
        target_file_ = folder_;
        const size_t slash = folder_.rfind('/');
        folder_ = slash == std::string::npos ? std::string() : folder_.substr(0, slash + 1);
    }
    published_sources_ = sources_;
}

const char* TBaseWork::KindText() const {
    switch (kind_) {
        case TaskKind::kP2sp:
            return "P2SP Task";
        case TaskKind::kBt:
            return "BT Task";
        case TaskKind::kHttp:
            break;
    }
    return "HTTP Task";
}

bool TBaseWork::Duplicates(const TBaseWork& other) const {
    if (full_path_ && other.full_path_ && target_file_ == other.target_file_) {
        return true;
    }
    if (kind_ != TaskKind::kHttp && other.kind_ != TaskKind::kHttp &&
        torrent_location_ == other.torrent_location_) {
        return true;
    }
    return SharesSourceLinesWith(other);
}

bool TBaseWork::SharesSourceLinesWith(const TBaseWork& other) const {
    // Empty entries never become sources, so they neither count nor match.
    int32_t lines = 0;
    int32_t found = 0;
    for (const SourceEntry& mine : sources_) {
        if (mine.text.empty()) {
            continue;
        }
        ++lines;
        const bool shared =
            std::any_of(other.sources_.begin(), other.sources_.end(),
                        [&mine](const SourceEntry& theirs) { return theirs.text == mine.text; });
        if (shared) {
            ++found;
        }
    }
    return found > 0 && lines / found <= 2;
}

void TBaseWork::FillTaskInfo(TaskInfo& info) {
    QTMutexLock hold(TaskLock());
    std::memset(&info, 0, sizeof(info));
    const size_t name_length = std::min(published_.name.size(), sizeof(info.name) - 1);
    std::memcpy(info.name, published_.name.data(), name_length);
    info.progress = published_.Progress();
    info.status = info.progress > 9999 ? KF_STATUS_COMPLETE : published_.status;
    info.speed = published_.speed;
    info.seconds_left = published_.seconds_left;
    info.total_kib = static_cast<int32_t>(published_.total_bytes / 1024);
    info.http_bytes = published_.http_bytes;
    info.bt_bytes = published_.bt_bytes;
    info.bytes_done = published_.bytes_done;
}

void TBaseWork::FillTaskInfoEx(TaskInfoEx& info) {
    QTMutexLock hold(TaskLock());
    std::memset(&info, 0, sizeof(info));
    FillTaskInfo(info.info);
    info.active_objects = published_.active_objects;
    info.candidates = published_.candidates;
    info.verified_pieces = published_.verified_pieces;
    info.servers = published_.servers;
    info.peers = published_.peers;
    info.allocated_bytes = published_.allocated_bytes;
}

void TBaseWork::FillTorrentSummary(TorrentSummary& summary) {
    QTMutexLock hold(TaskLock());
    std::memset(&summary, 0, sizeof(summary));
    if (published_.total_bytes <= 0) {
        return;
    }
    summary.total_bytes_low = static_cast<uint32_t>(published_.total_bytes & 0xFFFFFFFF);
    summary.piece_count = published_.piece_count;
    std::memcpy(summary.comment, published_.comment.data(),
                std::min(published_.comment.size(), sizeof(summary.comment)));
    std::memcpy(summary.name, published_.name.data(),
                std::min(published_.name.size(), sizeof(summary.name) - 1));
}

bool TBaseWork::AppendNote(std::string_view line) {
    QTMutexLock hold(TaskLock());
    const size_t separator = note_.empty() ? 0 : 2;
    if (note_.size() + separator + line.size() > kMaxNoteBytes) {
        return false;
    }
    if (separator != 0) {
        note_ += "\r\n";
    }
    note_ += line;
    return true;
}

std::string TBaseWork::Note() {
    QTMutexLock hold(TaskLock());
    return note_;
}

std::vector<std::string> TBaseWork::RestartFiles() {
    QTMutexLock hold(TaskLock());
    std::vector<std::string> files;
    std::string first = !published_.first_file.empty() ? published_.first_file : target_file_;
    if (!first.empty()) {
        for (const char* suffix : {"", ".kftmp", ".kfinfo", ".kfinfodf"}) {
            files.push_back(first + suffix);
        }
    }
    if (!resume_path_.empty()) {
        files.push_back(resume_path_);
        files.push_back(spill_path_);
    }
    return files;
}

bool TBaseWork::IsComplete() {
    QTMutexLock hold(TaskLock());
    return published_.Progress() > 9999;
}

int32_t TBaseWork::SetSpeedLimit(int32_t direction, int32_t kib_per_second) {
    if (direction != 0 && direction != 1) {
        return KF_ERR_PARAM;
    }
    QTMutexLock hold(TaskLock());
    (direction == 1 ? settings_.download_limit_kib : settings_.upload_limit_kib) = kib_per_second;
    settings_.Validate();
    limits_changed_ = true;
    return KF_OK;
}

void TBaseWork::SetSeedingHours(int32_t hours) {
    QTMutexLock hold(TaskLock());
    settings_.seeding_hours = hours;
    settings_.Validate();
}

TaskSettings TBaseWork::Settings() {
    QTMutexLock hold(TaskLock());
    return settings_;
}

void TBaseWork::ClearMirrors() {
    QTMutexLock hold(TaskLock());
    mirror_urls_.clear();
    mirror_hosts_.clear();
    mirror_mode_ = false;
}

void TBaseWork::AddMirrors(const char* url_lines, const char* host_lines) {
    QTMutexLock hold(TaskLock());
    for (std::string& line : SplitSourceLines(url_lines)) {
        mirror_urls_.push_back(std::move(line));
    }
    for (std::string& line : SplitSourceLines(host_lines)) {
        mirror_hosts_.push_back(std::move(line));
    }
    mirror_mode_ = true;
}

bool TBaseWork::MirrorMode() {
    QTMutexLock hold(TaskLock());
    return mirror_mode_;
}

std::vector<std::string> TBaseWork::MirrorUrls() {
    QTMutexLock hold(TaskLock());
    return mirror_urls_;
}

std::vector<std::string> TBaseWork::MirrorHosts() {
    QTMutexLock hold(TaskLock());
    return mirror_hosts_;
}

std::vector<SourceEntry> TBaseWork::Sources() {
    QTMutexLock hold(TaskLock());
    return published_sources_;
}

int32_t TBaseWork::BitfieldSize() {
    QTMutexLock hold(TaskLock());
    return static_cast<int32_t>(published_bitfield_.size());
}

int32_t TBaseWork::ReadBitfield(uint8_t* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    QTMutexLock hold(TaskLock());
    const size_t count = std::min(static_cast<size_t>(size), published_bitfield_.size());
    if (count > 0) {
        std::memcpy(buffer, published_bitfield_.data(), count);
    }
    const int64_t bits = static_cast<int64_t>(published_bitfield_.size()) * 8;
    return static_cast<int32_t>(std::min<int64_t>(bits, published_piece_count_));
}

void TBaseWork::RestoreSourceMarks() {
    QTMutexLock hold(TaskLock());
    for (SourceEntry& entry : sources_) {
        entry.mark &= SourceEntry::kTorrentLine;
    }
    sources_changed_ = true;
    published_sources_ = sources_;
}

void TBaseWork::Reset(bool /*full*/, bool /*keep*/) {}

void TBaseWork::Publish(bool force, bool extra) {
    if (extra) {
        TaskLock().Lock();
    } else if (!TaskLock().TryLock()) {
        return;
    }
    if (force) {
        if (bitfield_changed_ || extra) {
            published_bitfield_ = bitfield_;
            published_piece_count_ = working_.piece_count;
            bitfield_changed_ = false;
        }
        if (sources_changed_ || extra) {
            published_sources_ = sources_;
            sources_changed_ = false;
        }
    }
    published_ = working_;
    TaskLock().Unlock();
}

void TBaseWork::SetState(TaskState state) {
    QTMutexLock hold(TaskLock());
    if (state != working_.state && EngineLogWants(LogChannel::kTrace)) {
        EngineLogWrite(std::string(KindText()) + " " + target_file_ + ": " +
                           TaskStateName(working_.state) + " -> " + TaskStateName(state),
                       LogChannel::kTrace);
    }
    working_.state = state;
}

void TBaseWork::ClearProgress() {
    QTMutexLock hold(TaskLock());
    working_ = TaskProgress{};
    published_ = TaskProgress{};
}

}  // namespace kf
