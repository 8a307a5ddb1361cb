#include "engine/task/TWorkWithPieces.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/net/HostResolver.h"
#include "engine/os/FileSystem.h"
#include "engine/os/Tick.h"
#include "engine/task/SwarmRegistry.h"

namespace kf {
namespace {

constexpr auto kReadPollPeriod = std::chrono::milliseconds(10);
constexpr auto kReadPickupLimit = std::chrono::milliseconds(3000);
constexpr size_t kFileTextMax = 4095;

void SetBitIn(std::vector<uint8_t>& bits, int64_t index, bool on) {
    if (index < 0 || static_cast<size_t>(index / 8) >= bits.size()) {
        return;
    }
    const auto mask = static_cast<uint8_t>(0x80 >> (index % 8));
    uint8_t& byte = bits[static_cast<size_t>(index / 8)];
    byte = on ? (byte | mask) : (byte & ~mask);
}

bool TestBitIn(const std::vector<uint8_t>& bits, int64_t index) {
    if (index < 0 || static_cast<size_t>(index / 8) >= bits.size()) {
        return false;
    }
    return (bits[static_cast<size_t>(index / 8)] & (0x80 >> (index % 8))) != 0;
}

}  // namespace

void TWorkWithPieces::PiecesLink::SetTaskState(TaskState state) {
    task_.SetState(state);
}

void TWorkWithPieces::PiecesLink::SetTaskStatus(int32_t status) {
    QTMutexLock hold(task_.TaskLock());
    task_.working_.status = status;
}

TWorkWithPieces::TWorkWithPieces(SwarmRegistry& swarm) : TWorkWithPeers(swarm) {}

TWorkWithPieces::~TWorkWithPieces() {
    StopThread();
    if (pieces_) {
        pieces_->Close(true, true);
    }
}

void TWorkWithPieces::LoadResumeFile() {
    resume_ = std::make_unique<ResumeFile>(os::FileSystem::Default(), ResumePath());
    if (!ResumePath().empty()) {
        resume_->Load();  // a missing or unreadable file just means a fresh start
    }
}

void TWorkWithPieces::SaveOrDeleteResumeFile() {
    if (!resume_ || ResumePath().empty()) {
        return;
    }
    if (completed_) {
        resume_->Remove();
        return;
    }
    if (pieces_ && piece_map_ready_) {
        // The record is produced with notice 1001 after the target files reached the device.
        pieces_->WriteHeldPieces();
        pieces_->ProduceResumeRecord();
        pieces_->WriteSpillFile();
    }
    resume_->Save();
}

PiecesParams TWorkWithPieces::MakePiecesParams() {
    TaskSettings settings = Settings();
    settings.Validate();
    PiecesParams params;
    params.target_folder = Folder();
    if (params.target_folder.empty() || params.target_folder.back() != '/') {
        params.target_folder += '/';
    }
    if (FullPath()) {
        params.target_path = TargetFile();
    }
    params.spill_path = ResumePath().empty() ? std::string() : SpillPath();
    params.selection_bytes = resume_->part();
    params.resume_bytes = resume_->bits();
    params.cache_units = settings.cache_units;
    params.preallocate = true;
    params.quick_check = settings.quick_check;
    params.use_resume = true;
    return params;
}

RefPtr<TPieces> TWorkWithPieces::MakePieceMap(RefPtr<TPieces> previous) {
    PiecesParams params = MakePiecesParams();
    auto pieces = RefPtr<TPieces>::Adopt(new TPieces(&link_, std::move(params), {}, previous));
    TTorrent* torrent = pieces->torrent();
    torrent->SetSourceText(TorrentLocation());
    torrent->SetMetainfoBytes(resume_->torrent());
    if (!torrent->Load() || !pieces->valid()) {
        return {};
    }
    return pieces;
}

bool TWorkWithPieces::BuildPieceMap() {
    if (IsPieceMapReady()) {
        return true;
    }
    if (!resume_) {
        LoadResumeFile();
    }
    TWorkWithPeers::Reset(true, false);
    pieces_ = MakePieceMap({});
    if (!pieces_) {
        RequestStop();
        return false;
    }
    map_progress_time_ = NowSeconds();
    ApplyPieceMapFigures();
    piece_map_ready_ = true;
    AddTrackerCandidates();
    return true;
}

bool TWorkWithPieces::BuildPlainPieceMap(const PlainLayout& layout) {
    if (IsPieceMapReady()) {
        return true;
    }
    if (!resume_) {
        LoadResumeFile();
    }
    auto pieces = RefPtr<TPieces>::Adopt(new TPieces(&link_, MakePiecesParams()));
    const std::string record = layout.Encode();
    pieces->torrent()->IdentifyByLayout(
        std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
    if (!pieces->LayOutSingleFile(layout.size, layout.piece_length, layout.path) ||
        !pieces->valid()) {
        return false;
    }
    pieces_ = pieces;
    resume_->SetTorrent(record);
    map_progress_time_ = NowSeconds();
    ApplyPieceMapFigures();
    {
        QTMutexLock hold(TaskLock());
        working_.name = layout.path.substr(layout.path.find_last_of('/') + 1);
    }
    piece_map_ready_ = true;
    return true;
}

void TWorkWithPieces::ApplyPieceMapFigures() {
    const TTorrent& torrent = *pieces_->torrent();
    const PiecesProgress progress = pieces_->Progress();
    {
        QTMutexLock hold(TaskLock());
        working_.total_bytes = progress.total_length;
        working_.bytes_done = progress.verified_bytes;
        working_.verified_bytes = progress.verified_bytes;
        working_.piece_count = static_cast<int32_t>(progress.piece_count);
        working_.verified_pieces = static_cast<int32_t>(progress.verified_pieces);
        working_.piece_length = progress.piece_length;
        working_.name = pieces_->name();
        working_.comment = torrent.comment();
        working_.first_file =
            pieces_->FileCount() > 0 ? pieces_->File(FileIndex(0)).final_path : std::string();
        bitfield_ = pieces_->Bitfield();
        bitfield_changed_ = true;
    }
    verified_pieces_ = static_cast<int32_t>(progress.verified_pieces);
    if (torrent.info_hash() != info_hash_ || !info_hash_known_ || !identity_.prepared()) {
        info_hash_ = torrent.info_hash();
        info_hash_known_ = true;
        PrepareIdentity(false);
    }
}

void TWorkWithPieces::PrepareIdentity(bool start_services) {
    if (!pieces_ || info_hash_ == BtIdentity::Bytes20{}) {
        return;
    }
    // Differs per task and per run, so that two tasks (or two runs) never share a peer id.
    const std::string head = pieces_->torrent()->announce() +
                             std::to_string(static_cast<uint64_t>(pthread_self())) +
                             std::to_string(reinterpret_cast<uintptr_t>(this));
    const std::string local = std::to_string(LocalAddress());
    identity_.Prepare(info_hash_, head + std::to_string(TickMilliseconds()) + local,
                      head + std::to_string(SecondsSinceStart()) + local,
                      EngineGlobals::Instance().machine_id);
    RegisterInfoHash();
    if (start_services) {
        swarm_.ListeningServicesStep();
    }
}

void TWorkWithPieces::AddTrackerCandidates() {
    if (!pieces_) {
        return;
    }
    for (const std::string& address : pieces_->torrent()->trackers()) {
        if (address.empty()) {
            continue;
        }
        auto record = RefPtr<TPeerId>::Make("tracker://" + address);
        if (!ParseCandidate(*record)) {
            if (record->unresolvable) {
                ReportUnresolvable();
            }
            continue;
        }
        record->weight = TPeerId::kWeightTextSource;
        AddSource(*record, false, false);
    }
}

void TWorkWithPieces::RebuildPieceMap() {
    if (!pieces_) {
        BuildPieceMap();
        return;
    }
    RefPtr<TPieces> old = pieces_;
    const bool old_ready = piece_map_ready_;
    const int32_t old_piece_length = old->piece_length();
    RefPtr<TPieces> fresh = MakePieceMap(old);
    if (!fresh) {
        return;  // the old map stays
    }
    old->Close(true, true);
    pieces_ = fresh;
    ApplyPieceMapFigures();
    piece_map_ready_ = true;
    OnPieceMapReplaced(fresh->piece_length() != old_piece_length);
    AddTrackerCandidates();
    if (old_ready) {
        pieces_->StartCheck();
    }
    Publish(true, true);
}

bool TWorkWithPieces::IsTaskComplete() const {
    return pieces_ && pieces_->piece_count() > 0 && verified_pieces_ >= pieces_->piece_count();
}

bool TWorkWithPieces::CompletionCheck(int64_t now) {
    const bool complete = IsTaskComplete();
    if (!complete) {
        QTMutexLock hold(TaskLock());
        working_.completion_time = 0;
        return false;
    }
    TaskState state;
    int64_t completion_time;
    {
        QTMutexLock hold(TaskLock());
        state = working_.state;
        completion_time = working_.completion_time;
    }
    if (completion_time == 0) {
        completion_time = now;
        if (state != TaskState::kBuildingMap) {
            // Renames the finished files from their temporary names.
            pieces_->Close(true, true);
            completed_ = IsTaskComplete();
        }
        QTMutexLock hold(TaskLock());
        working_.completion_time = completion_time;
    }
    const int32_t seeding_hours = Settings().seeding_hours;
    if (seeding_hours > 0 && (now - completion_time) / 3600 < seeding_hours) {
        return false;
    }
    QTMutexLock hold(TaskLock());
    working_.still_seeding = false;
    return true;
}

void TWorkWithPieces::RefreshProgress() {
    if (!pieces_) {
        return;
    }
    const PiecesProgress progress = pieces_->Progress();
    bool moved;
    {
        QTMutexLock hold(TaskLock());
        working_.total_bytes = progress.total_length;
        working_.bytes_done = progress.verified_bytes;
        working_.verified_bytes = progress.verified_bytes;
        working_.piece_count = static_cast<int32_t>(progress.piece_count);
        working_.verified_pieces = static_cast<int32_t>(progress.verified_pieces);
        working_.piece_length = progress.piece_length;
        moved = progress.verified_bytes != last_refreshed_done_;
        last_refreshed_done_ = progress.verified_bytes;
    }
    if (moved) {
        Publish(true, false);
    }
}

void TWorkWithPieces::OnPieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                                    std::span<const uint8_t> bytes) {
    switch (type) {
        case 1:
            if (kind == 4) {
                const bool was_set = TestBitIn(bitfield_, number);
                SetBitIn(bitfield_, number, value != 0);
                bitfield_changed_ = true;
                if (value != 0 && !was_set) {
                    ++verified_pieces_;
                    map_progress_time_ = NowSeconds();
                    OnPieceVerified(PieceIndex(number));
                } else if (value == 0 && was_set) {
                    --verified_pieces_;
                }
            }
            break;
        case 2: {
            const int64_t piece_count = working_.piece_count;
            std::fill(bitfield_.begin(), bitfield_.end(), 0);
            if (value != 0) {
                for (int64_t piece = 0; piece < piece_count; ++piece) {
                    SetBitIn(bitfield_, piece, true);
                }
            }
            verified_pieces_ = value != 0 ? static_cast<int32_t>(piece_count) : 0;
            bitfield_changed_ = true;
            break;
        }
        case 3:
            Publish(true, false);
            break;
        case 100:
            if (kind == 4) {
                QTMutexLock hold(TaskLock());
                bitfield_.assign(static_cast<size_t>((number + 7) / 8), 0);
                working_.piece_count = static_cast<int32_t>(number);
                verified_pieces_ = 0;
                bitfield_changed_ = true;
            }
            break;
        case 1000:
            if (resume_) {
                resume_->SetPart(std::string(bytes.begin(), bytes.end()));
            }
            break;
        case 1001:
            if (resume_) {
                resume_->SetBits(std::string(bytes.begin(), bytes.end()));
            }
            break;
        case 1002:
            link_.SetTaskStatus(20210);
            disk_short_ = true;
            Notice(NoticeKind::kDiskWait, Folder(), 0,
                   "not enough free space for the download; it stops");
            RequestStop();
            break;
        case 1003:
            disk_short_ = false;
            break;
        case 1004:
            link_.SetTaskStatus(20215);
            disk_short_ = true;
            Notice(NoticeKind::kDiskWait, Folder(), 0, "a write to the disk failed; it stops");
            RequestStop();
            break;
        default:
            break;
    }
}

void TWorkWithPieces::OnPieceVerified(PieceIndex /*piece*/) {}

void TWorkWithPieces::OnPieceMapReplaced(bool /*piece_length_changed*/) {}

int32_t TWorkWithPieces::GetFileCount() {
    QTMutexLock hold(TaskLock());
    return pieces_ ? static_cast<int32_t>(pieces_->FileCount()) : 0;
}

int64_t TWorkWithPieces::GetFileSize(int32_t file) {
    QTMutexLock hold(TaskLock());
    if (!pieces_ || file < 0 || static_cast<size_t>(file) >= pieces_->FileCount()) {
        return -1;
    }
    return pieces_->File(FileIndex(file)).size;
}

std::string TWorkWithPieces::GetFileText(int32_t file, int32_t which) {
    QTMutexLock hold(TaskLock());
    if (!pieces_ || file < 0 || static_cast<size_t>(file) >= pieces_->FileCount()) {
        return {};
    }
    const FileEntry& entry = pieces_->File(FileIndex(file));
    std::string text;
    switch (which) {
        case 1:
            text = entry.relative_path;
            break;
        case 2:
            text = entry.final_path.substr(entry.final_path.rfind('/') + 1);
            break;
        case 3:
            text = entry.final_path;
            break;
        default:
            break;
    }
    return text.substr(0, kFileTextMax);
}

int32_t TWorkWithPieces::ReadData(int32_t file, int64_t offset, std::span<uint8_t> out) {
    if (IsCurrentThread()) {
        return kReadError;  // the worker would wait for itself
    }
    ReadRequest request{file, offset, out};
    std::unique_lock<std::mutex> hold(read_mutex_);
    read_requests_.push_back(&request);
    const auto queued = std::chrono::steady_clock::now();
    while (request.result == 1) {
        read_served_.wait_for(hold, kReadPollPeriod);
        if (request.result != 1) {
            break;
        }
        if (!IsRunning()) {
            request.result = kReadStopping;
        } else if (!request.picked_up &&
                   std::chrono::steady_clock::now() - queued > kReadPickupLimit) {
            request.result = kReadNotServed;
        }
    }
    // A request that is still queued must not outlive this frame.
    read_requests_.erase(std::remove(read_requests_.begin(), read_requests_.end(), &request),
                         read_requests_.end());
    return request.result;
}

void TWorkWithPieces::ServeReadRequests() {
    std::unique_lock<std::mutex> hold(read_mutex_);
    while (!read_requests_.empty()) {
        ReadRequest* request = read_requests_.front();
        read_requests_.pop_front();
        request->picked_up = true;
        int32_t result = kReadError;
        if (pieces_ && piece_map_ready_ && request->file >= 0 &&
            static_cast<size_t>(request->file) < pieces_->FileCount()) {
            const FileEntry& entry = pieces_->File(FileIndex(request->file));
            if (request->offset < 0 ||
                request->offset + static_cast<int64_t>(request->out.size()) > entry.size) {
                result = kReadFailed;
            } else {
                const int64_t read =
                    pieces_->ReadData(entry.offset + request->offset, request->out);
                result = read == static_cast<int64_t>(request->out.size()) ? 0 : kReadFailed;
            }
        }
        request->result = result;
    }
    read_served_.notify_all();
}

void TWorkWithPieces::Reset(bool full, bool keep) {
    if (pieces_) {
        // Closing produces the resume data of whatever was written.
        pieces_->Close(true, true);
        pieces_.reset();
    }
    piece_map_ready_ = false;
    verified_pieces_ = 0;
    TWorkWithPeers::Reset(full, keep);
}

}  // namespace kf
