#include "engine/peers/TServerPeer.h"

#include <algorithm>
#include <optional>

namespace kf {

TServerPeer::TServerPeer(PeerKind type, const TaskFaces& task) : TPeerObject(type, task) {}

bool TServerPeer::HasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<uint8_t>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

bool TServerPeer::TimedOut() {
    int64_t limit = TimeoutSeconds();
    const int32_t rate = Work().download_rate;
    if (rate >= 1 && rate <= 2047) {
        limit *= 2;
    }
    if (Swarm().CurrentTime() - GetActivity().last_activity > limit) {
        SetStatus(kStatusTimedOut);
        ReleaseRange();
        return true;
    }
    return false;
}

void TServerPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    skip_ = 0;
    work_.requests.ForgetInFlight();
}

bool TServerPeer::ConnectToServer(QSocket& conn, int32_t port) {
    const TPeerId& record = *Source();
    const std::optional<QProxyConfig> proxy = Swarm().TaskProxy();
    const QProxyConfig* config = proxy ? &*proxy : nullptr;
    if (record.ConnectsByName()) {
        return conn.ConnectByName(record.UrlInfo().host, port, false, config);
    }
    return conn.ConnectTo(record.ip, port, false, config);
}

bool TServerPeer::ConnectToSource() {
    const TPeerId& record = *Source();
    QSocket& conn = EnsureConnection();
    SetState(ConnectToServer(conn, record.port) ? kConnecting : kIdle);
    FitReceiveBufferToLimit();
    MutableActivity().incoming = false;
    return IsConnected();
}

bool TServerPeer::SizeDiffersFromTask() {
    const TPeerUrlInfo& info = Source()->UrlInfo();
    return info.content_length > 0 && Content().ContentSizeKnown() &&
           info.content_length != Content().ContentSize();
}

bool TServerPeer::PlanServerRange() {
    if (work_.requests.empty()) {
        skip_ = 0;
        TPeerObject::PlanRequests();
    }
    if (work_.requests.empty() && Content().ContentSizeKnown()) {
        SetStatus(kStatusFinished);
        return false;
    }
    Range* range = work_.range;
    if (range != nullptr && range->current == range->end &&
        Content().MissingRange(PieceIndex(range->end)).second == 0) {
        Content().ReturnBlocks(work_.requests.TakeAll());
        Ranges().FinishRange(work_);
        skip_ = 0;
    }
    return true;
}

int64_t TServerPeer::SkipBuffered(int64_t available, int64_t& offset) {
    const int64_t thrown = std::min(skip_, available - offset);
    skip_ -= thrown;
    position_ += thrown;
    offset += thrown;
    return thrown;
}

TServerPeer::Cut TServerPeer::CutBlock(const BlockRequest& head, std::span<const uint8_t> bytes,
                                       int64_t& offset) {
    if (static_cast<int64_t>(bytes.size()) - offset < head.length) {
        return Cut::kShort;
    }
    const bool delivered = DeliverBlock(
        head.block, bytes.subspan(static_cast<size_t>(offset), static_cast<size_t>(head.length)));
    offset += head.length;
    position_ += head.length;
    OnStreamBytes(head.length, true);
    return delivered ? Cut::kDelivered : Cut::kRefused;
}

void TServerPeer::GatherRooms(size_t run, int64_t filled, int64_t limit) {
    rooms_.clear();
    const int32_t first = work_.requests.front().block;
    int64_t gathered = 0;
    for (size_t i = 0; i < run && gathered < limit; ++i) {
        const BlockRequest& request = work_.requests[i];
        if (request.block != first + static_cast<int32_t>(i)) {
            break;
        }
        const auto from = static_cast<int32_t>(i == 0 ? filled : 0);
        const std::span<uint8_t> room = Content().BlockRoom(ContentBlock(request.block), from);
        if (static_cast<int64_t>(room.size()) != request.length - from) {
            break;
        }
        rooms_.push_back(
            room.first(static_cast<size_t>(std::min<int64_t>(room.size(), limit - gathered))));
        gathered += static_cast<int64_t>(rooms_.back().size());
    }
}

bool TServerPeer::CommitRooms(int64_t read) {
    const int32_t first = work_.requests.front().block;
    int64_t left = read;
    for (size_t i = 0; i < rooms_.size() && left > 0; ++i) {
        if (work_.requests.empty() ||
            work_.requests.front().block != first + static_cast<int32_t>(i)) {
            return false;  // never: the queue does not change between the gathering and here
        }
        const BlockRequest request = work_.requests.front();
        const auto from =
            static_cast<int32_t>(position_ - static_cast<int64_t>(request.block) * kBlockSize);
        const auto got = static_cast<int32_t>(std::min<int64_t>(left, rooms_[i].size()));
        left -= got;
        position_ += got;
        const bool block_ended = from + got == request.length;
        OnStreamBytes(got, block_ended);
        bool ok;
        if (block_ended) {
            ok = DeliverBlockInPlace(request.block, request.length, got);
        } else {
            ok = Content().CommitBlockBytes(ContentBlock(request.block), from, got, *this).accepted;
            MarkActivity();
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool TServerPeer::AppendMemoryBody(QSocket& from, bool finish) {
    TPeerUrlInfo& info = Source()->UrlInfo();
    const int32_t buffered = from.ReceivedLength();
    if (buffered <= 0 || info.memory_done) {
        from.Consume(-1);
        return true;
    }
    const int64_t wanted = info.content_length - static_cast<int64_t>(info.memory_body.size());
    const int64_t take = std::min<int64_t>(buffered, std::max<int64_t>(wanted, 0));
    if (static_cast<int64_t>(info.memory_body.size()) + take > kMaxMemoryBody) {
        return End(kServerErrorPenalty, "memory body too large");
    }
    if (take > 0) {
        if (info.memory_body.capacity() - info.memory_body.size() < 4096) {
            info.memory_body.reserve(info.memory_body.size() + static_cast<size_t>(take) + 4096);
        }
        info.memory_body.append(reinterpret_cast<const char*>(from.Received().data()),
                                static_cast<size_t>(take));
        MarkActivity();
    }
    from.Consume(-1);  // bytes past the stated length are not part of the file
    if (static_cast<int64_t>(info.memory_body.size()) >= info.content_length) {
        info.memory_done = true;
        if (finish) {
            SetStatus(kStatusFinished);
        }
    }
    return true;
}

}  // namespace kf
