#include "engine/task/SchedulerFace.h"

#include <algorithm>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/os/Tick.h"

namespace kf {

bool TWorkThread::SchedulerFace::PieceMapReady() {
    return task_.IsPieceMapReady();
}

int32_t TWorkThread::SchedulerFace::PieceCount() {
    return PieceMapReady() ? static_cast<int32_t>(task_.pieces_->piece_count()) : 0;
}

int32_t TWorkThread::SchedulerFace::PieceLength() {
    return PieceMapReady() ? task_.pieces_->piece_length() : 0;
}

int32_t TWorkThread::SchedulerFace::VerifiedCount() {
    return task_.verified_pieces_;
}

bool TWorkThread::SchedulerFace::IsVerified(PieceIndex piece) {
    return InRange(piece) && task_.pieces_->IsVerified(piece);
}

bool TWorkThread::SchedulerFace::IsBeingFinished(PieceIndex piece) {
    // Complete data that the piece map still holds for its check.
    return InRange(piece) && task_.pieces_->IsComplete(piece) && !task_.pieces_->IsVerified(piece);
}

int32_t TWorkThread::SchedulerFace::BytesDone(PieceIndex piece) {
    return InRange(piece) ? task_.pieces_->BytesDone(piece) : 0;
}

int32_t TWorkThread::SchedulerFace::PieceSize(PieceIndex piece) {
    return InRange(piece) ? task_.pieces_->PieceSize(piece) : 0;
}

bool TWorkThread::SchedulerFace::IsBlockDone(ContentBlock block, int32_t /*length*/) {
    if (!PieceMapReady() || block.value() < 0) {
        return false;
    }
    const int64_t offset = block.value() * kBlockSize;
    const int64_t piece = offset / task_.pieces_->piece_length();
    if (piece >= task_.pieces_->piece_count()) {
        return false;
    }
    if (task_.pieces_->IsVerified(PieceIndex(piece))) {
        return true;
    }
    const int64_t in_piece = offset - piece * task_.pieces_->piece_length();
    return task_.pieces_->HasBlock(PieceIndex(piece), BlockIndex(in_piece / kBlockSize));
}

std::vector<PieceIndex> TWorkThread::SchedulerFace::PartialPieces() {
    return PieceMapReady() ? task_.pieces_->PartialPieces() : std::vector<PieceIndex>();
}

int32_t TWorkThread::SchedulerFace::FileCount() {
    return PieceMapReady() ? static_cast<int32_t>(task_.pieces_->FileCount()) : 0;
}

SchedulingFile TWorkThread::SchedulerFace::File(FileIndex index) {
    SchedulingFile file;
    if (index.value() >= 0 && index.value() < FileCount()) {
        const FileEntry& entry = task_.pieces_->File(index);
        file.first_piece = static_cast<int32_t>(entry.first_piece);
        file.piece_span = static_cast<int32_t>(entry.piece_span);
        file.size = entry.size;
        file.priority = entry.priority;
        file.skipped = entry.skipped();
    }
    return file;
}

int32_t TWorkThread::SchedulerFace::ActiveConnections() {
    return static_cast<int32_t>(task_.active_.size());
}

// A server the IP filter blocks will never take a range: BT peers do not wait for it.
bool TWorkThread::SchedulerFace::HasServerCandidates() {
    return std::any_of(task_.candidates_.records().begin(), task_.candidates_.records().end(),
                       [this](const RefPtr<TPeerId>& record) {
                           return record->IsServerSource() && !task_.IpFilterBlocks(*record);
                       });
}

std::vector<ServerSlot> TWorkThread::SchedulerFace::ServerSlots() {
    std::vector<ServerSlot> slots;
    for (const RefPtr<TPeerId>& record : task_.candidates_.records()) {
        if (!record->IsServerSource() || task_.IpFilterBlocks(*record)) {
            continue;
        }
        ServerSlot slot;
        slot.source = RefPtr<TRefObject>::Share(record.get());
        slot.torrent_line = record->role == TPeerId::kRoleTorrentLine;
        slot.fetch_to_memory = record->HasUrlInfo() && record->UrlInfo().fetch_to_memory;
        slot.max_connections = record->max_connections;
        slots.push_back(std::move(slot));
    }
    return slots;
}

void TWorkThread::SchedulerFace::ApplyServerSlots(const std::vector<ServerSlot>& slots) {
    for (const ServerSlot& slot : slots) {
        static_cast<TPeerId*>(slot.source.get())->max_connections = slot.max_connections;
    }
}

int64_t TWorkThread::SchedulerFace::ThreadSeconds() {
    return task_.now_ - task_.StartTime();
}

bool TWorkThread::SchedulerFace::RandomStart() {
    return task_.settings_.random_piece_start;
}

bool TWorkThread::SchedulerFace::P2PEnabled() {
    return EngineGlobals::Instance().p2p_enabled;
}

bool TWorkThread::SchedulerFace::IsStopping() {
    return task_.StopRequestedNow();
}

uint32_t TWorkThread::SchedulerFace::Tick() {
    return TickCount32();
}

int64_t TWorkThread::SchedulerFace::Now() {
    return task_.now_;
}

uint32_t TWorkThread::SchedulerFace::QueueClock() {
    return SecondsSinceStart();
}

bool TWorkThread::SchedulerFace::InRange(PieceIndex piece) {
    return PieceMapReady() && piece.value() >= 0 && piece.value() < task_.pieces_->piece_count();
}

}  // namespace kf
