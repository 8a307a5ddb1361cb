#include "engine/peers/THttpPeer.h"

#include <algorithm>
#include <optional>

#include "engine/peers/AddressText.h"

namespace kf {

namespace {

// Identity ("", "identity") is the only coding whose bytes are the file's bytes.
std::string_view TrimmedValue(std::string_view value) {
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
    }
    return value;
}

bool IsIdentityCoding(std::string_view value) {
    value = TrimmedValue(value);
    return value.empty() || EqualsIgnoreCase(value, "identity");
}

}  // namespace

THttpPeer::THttpPeer(const TaskFaces& task) : TServerPeer(PeerKind::Http, task) {}

THttpPeer::~THttpPeer() {
    THttpPeer::Reset();
}

void THttpPeer::ClearConnectionState() {
    header_done_ = false;
    header_.Clear();
    skip_ = 0;
    no_length_ = false;
    chunked_.reset();
    body_left_ = -1;
    work_.requests.ForgetInFlight();
}

void THttpPeer::Reset() {
    TPeerObject::Reset();
    ClearConnectionState();
    position_ = 0;
    request_start_ = 0;
}

bool THttpPeer::End(int32_t penalty, std::string_view /*why*/) {
    return Fail(penalty);
}

bool THttpPeer::Fail(int32_t penalty) {
    CloseConnection();
    if (penalty > 0) {
        PenalizeSource(penalty);
    }
    return false;
}

bool THttpPeer::Flush() {
    if (IsConnected() && Connection()->QueuedLength() > 0) {
        return Connection()->FlushQueue(-1) >= 0;
    }
    return true;
}

int64_t THttpPeer::TimeoutSeconds() const {
    return header_done_ ? kBodyTimeout : kHeaderTimeout;
}

void THttpPeer::OnStreamBytes(int64_t bytes, bool /*block_ended*/) {
    if (body_left_ >= 0) {
        body_left_ -= bytes;
    }
}

bool THttpPeer::Receive() {
    if (!IsConnected() || Source() == nullptr) {
        return false;
    }
    if (TimedOut()) {
        PenalizeSource(kTimeoutPenalty);
        return false;
    }
    if (Content().DownloadAllowance() == 0 && State() != kConnecting) {
        return true;
    }
    if (!header_done_) {
        return ReceiveHeader();
    }
    if (Source()->UrlInfo().fetch_to_memory) {
        return ReceiveToMemory();
    }
    return ReceiveStream();
}

int32_t THttpPeer::ReadSize(int32_t limit) {
    const int32_t allowance = Content().DownloadAllowance();
    return allowance > 0 ? std::min(allowance, limit) : limit;
}

bool THttpPeer::ReceiveHeader() {
    QSocket& conn = *Connection();
    if (conn.ReceiveBytes(ReadSize(kMaxHeaderRead)) < 0) {
        return false;
    }
    if (conn.ReceivedLength() <= 2) {
        return true;
    }
    const std::span<const uint8_t> bytes = conn.Received();
    size_t length = 0;
    const HttpResponseHeader::Outcome outcome = header_.Parse(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), length);
    if (outcome == HttpResponseHeader::Outcome::kIncomplete) {
        return true;
    }
    if (outcome == HttpResponseHeader::Outcome::kTooLarge) {
        return Fail(0);
    }
    header_done_ = true;
    conn.Consume(static_cast<int32_t>(length));
    SetState(kEstablished);
    return HandleHeader();
}

bool THttpPeer::HandleHeader() {
    switch (header_.StatusClass()) {
        case 2:
            return HandleSuccess();
        case 3:
            return HandleRedirect();
        case 4:
            CloseConnection();
            Swarm().RemoveSource(*Source());
            return false;
        case 5:
            return Fail(kServerErrorPenalty);
        default:
            return Fail(0);
    }
}

bool THttpPeer::PlaceBody() {
    const TPeerUrlInfo& info = Source()->UrlInfo();
    if (!IsIdentityCoding(header_.Header("Content-Encoding"))) {
        return false;
    }
    if (!IsIdentityCoding(header_.Header("Transfer-Encoding"))) {
        if (!info.fetch_to_memory || header_.StatusCode() != 200 ||
            !EqualsIgnoreCase(TrimmedValue(header_.Header("Transfer-Encoding")), "chunked")) {
            return false;
        }
        chunked_.emplace(static_cast<size_t>(kMaxMemoryBody));
        position_ = 0;
        body_left_ = -1;
        return true;
    }
    const std::optional<HttpResponseHeader::ContentRange> range = header_.GetContentRange();
    const int64_t declared = header_.ContentLength();
    if (range.has_value()) {
        // The body must start exactly where this connection asked, or its bytes would land at
        // the wrong offset.
        if (range->first != request_start_ || range->last < range->first) {
            return false;
        }
        if (info.content_length > 0 && range->total > 0 && range->total != info.content_length) {
            return false;
        }
        position_ = range->first;
        const int64_t range_length = range->last - range->first + 1;
        body_left_ = declared >= 0 ? std::min(declared, range_length) : range_length;
        return true;
    }
    if (header_.StatusCode() == 206) {
        return false;  // partial content with no stated place
    }
    // A whole-file answer: its first byte is the file's first byte, whatever was asked.
    position_ = 0;
    body_left_ = declared;
    if (request_start_ > 0) {
        // Reached by skipping, however far: another connection would get the same stream.
        Source()->UrlInfo().ranges_unsupported = true;
    }
    if (info.content_length > 0 && declared >= 0 && declared != info.content_length) {
        return false;
    }
    return true;
}

bool THttpPeer::HandleSuccess() {
    TPeerId& source = *Source();
    TPeerUrlInfo& info = source.UrlInfo();
    if (source.weight == TPeerId::kWeightTextSource) {
        source.weight = TPeerId::kWeightRedirectTarget;
    }
    if (!PlaceBody()) {
        return Fail(kServerErrorPenalty);
    }
    if (source.connections > 1) {
        return true;  // the first connection has taken the size
    }
    info.redirected = false;
    if (info.content_length <= 0) {
        int64_t length = -1;
        if (header_.GetContentRange().has_value()) {
            length = header_.ContentRangeTotal();
        } else if (header_.HasHeader("Content-Length")) {
            length = header_.ContentLength();
        } else {
            no_length_ = true;
        }
        if (info.fetch_to_memory && no_length_) {
            length = kUnknownMemoryLength;
        }
        info.content_length = length;
        if (header_.HasHeader("Content-Disposition")) {
            if (header_.Header("Content-Disposition").find("filename=") != std::string_view::npos) {
                info.file_name = header_.DispositionFileName().value_or(std::string());
            }
        } else if (info.file_name.empty()) {
            info.file_name = "index.htm";
        }
    }
    if (info.fetch_to_memory && info.content_length > kMaxMemoryBody &&
        info.content_length != kUnknownMemoryLength) {
        return Fail(kServerErrorPenalty);
    }
    return info.content_length > 0;
}

bool THttpPeer::HandleRedirect() {
    TPeerId& source = *Source();
    TPeerUrlInfo& info = source.UrlInfo();
    info.redirected = true;
    std::string location(header_.Header("Location"));
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t')) {
        location.pop_back();
    }
    CloseConnection();
    if (location.empty()) {
        return false;
    }
    location = AbsoluteLocation(source, location);
    if (location.empty()) {
        return false;  // another scheme (https, ...): nothing this engine can follow
    }
    if (EqualsIgnoreCase(location, info.last_location)) {
        if (++info.redirect_count > 2) {
            Swarm().RemoveSource(source);
        }
    } else {
        info.last_location = location;
        ++info.redirect_count;
    }

    RefPtr<TPeerId> target = RefPtr<TPeerId>::Make(location);
    target->UrlInfo().fetch_to_memory = info.fetch_to_memory;
    target->role = source.role;
    if (target->ParseSourceAddress(EffectiveProxyConfig(Swarm().TaskProxy()).ResolvesNames())) {
        target->weight = TPeerId::kWeightRedirectTarget;
        Swarm().AddSource(*target, false, false);
    } else if (target->unresolvable) {
        Swarm().SetTaskStatus(kStatusUnresolvable);
    }
    SetStatus(kStatusFinished);
    return false;
}

bool THttpPeer::ReceiveToMemory() {
    if (chunked_) {
        return ReceiveChunkedToMemory();
    }
    TPeerUrlInfo& info = Source()->UrlInfo();
    // What came with the header is taken first: a close seen by the next read drops the buffer.
    // The status stays once the body is done: the task sees it and retires the peer.
    if (!AppendMemoryBody(*Connection(), false)) {
        return false;
    }
    if (info.memory_done) {
        return true;
    }
    if (Connection()->ReceiveBytes(ReadSize(kMaxHeaderRead)) < 0) {
        const bool complete =
            no_length_ || static_cast<int64_t>(info.memory_body.size()) >= info.content_length;
        if (complete && !info.memory_body.empty()) {
            info.memory_done = true;
            SetStatus(kStatusFinished);
            return true;
        }
        return false;
    }
    return AppendMemoryBody(*Connection(), false);
}

bool THttpPeer::ReceiveChunkedToMemory() {
    TPeerUrlInfo& info = Source()->UrlInfo();
    QSocket& conn = *Connection();
    // What came with the header is decoded first; a close before the last chunk is a cut body.
    for (int turn = 0; turn < 2 && !info.memory_done; ++turn) {
        if (turn == 1 && conn.ReceiveBytes(ReadSize(kMaxHeaderRead)) < 0) {
            return Fail(kServerErrorPenalty);
        }
        const std::span<const uint8_t> bytes = conn.Received();
        const size_t before = info.memory_body.size();
        chunked_->Feed({reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                       info.memory_body);
        conn.Consume(-1);  // bytes after the last chunk are not part of the body
        if (info.memory_body.size() != before) {
            MarkActivity();
        }
        if (chunked_->state() == ChunkedDecoder::State::kBroken) {
            return Fail(kServerErrorPenalty);
        }
        info.memory_done = chunked_->state() == ChunkedDecoder::State::kComplete;
    }
    return true;
}

bool THttpPeer::DeliverBuffered() {
    QSocket& conn = *Connection();
    const std::span<const uint8_t> bytes = conn.Received();
    if (bytes.empty()) {
        return true;  // (a head block partly read in place is not a changed queue)
    }
    int64_t offset = 0;
    const auto available = static_cast<int64_t>(bytes.size());

    if (skip_ > 0) {
        const int64_t thrown = SkipBuffered(available, offset);
        if (thrown > 0) {
            MarkActivity();  // a long skip is traffic, not a silent connection
        }
        if (body_left_ >= 0) {
            body_left_ = std::max<int64_t>(body_left_ - thrown, 0);
        }
    }
    bool ok = true;
    while (skip_ == 0 && Work().requests.InFlight() >= 1 && !Work().requests.empty()) {
        const BlockRequest head = Work().requests.front();
        if (static_cast<int64_t>(head.block) * kBlockSize != position_) {
            // The queue changed under the run (range released, blocks dropped): re-plan rather
            // than write stream bytes at another offset.
            work_.requests.ForgetInFlight();
            break;
        }
        if (body_left_ >= 0 && head.length > body_left_) {
            ok = false;  // the answer ends before this block: the rest is not file data
            break;
        }
        const Cut cut = CutBlock(head, bytes, offset);
        if (cut != Cut::kDelivered) {
            ok = cut == Cut::kShort;  // a short buffer waits for the next read
            break;
        }
    }
    if (offset > 0) {
        // Kept: the rest (less than a block) moves to the front instead of into a smaller buffer
        // that the next read would have to grow again.
        conn.Consume(static_cast<int32_t>(offset), true);
    }
    if (!ok) {
        CloseConnection();
    }
    return ok;
}

THttpPeer::InPlace THttpPeer::ReceiveInPlace(int32_t budget) {
    QSocket& conn = *Connection();
    if (conn.ReceivedLength() > 0 || skip_ != 0 || Work().requests.InFlight() <= 0 ||
        Work().requests.empty()) {
        return InPlace::kNotNow;
    }
    const BlockRequest head = Work().requests.front();
    const int64_t filled = position_ - static_cast<int64_t>(head.block) * kBlockSize;
    if (filled < 0 || filled >= head.length ||
        (body_left_ >= 0 && body_left_ < head.length - filled)) {
        return InPlace::kNotNow;  // the copying path sorts these out
    }
    const int64_t limit = body_left_ >= 0 ? std::min<int64_t>(budget, body_left_) : budget;
    // Only the planned run: a block with other bytes in it ends the gathering.
    GatherRooms(static_cast<size_t>(Work().requests.InFlight()), filled, limit);
    if (rooms_.empty()) {
        if (filled > 0) {
            // Someone else filled the rest of the block this stream had begun: plan again (the
            // stream cannot go on from the middle of a block it no longer owns).
            work_.requests.ForgetInFlight();
            return InPlace::kRead;
        }
        return InPlace::kNotNow;
    }
    const int32_t read = conn.ReceiveInto(rooms_);
    if (read < 0) {
        return InPlace::kFailed;
    }
    if (!CommitRooms(read)) {
        CloseConnection();
        return InPlace::kFailed;
    }
    return InPlace::kRead;
}

bool THttpPeer::ReceiveStream() {
    if (Work().requests.InFlight() <= 0) {
        return true;  // the next run is planned first; buffered bytes wait for it
    }
    // Whole blocks already buffered go first: a close seen by the next read drops the buffer.
    if (!DeliverBuffered()) {
        return false;
    }
    if (Work().requests.InFlight() <= 0) {
        return true;
    }
    switch (ReceiveInPlace(ReadSize(kMaxStreamRead))) {
        case InPlace::kRead:
            return Connection()->IsOpen();
        case InPlace::kFailed:
            return false;
        case InPlace::kNotNow:
            break;
    }
    // Through the receive buffer. A block begun there is finished with a read of just its rest,
    // so that the buffer empties and the next turn can read in place again.
    QSocket& conn = *Connection();
    int32_t want = ReadSize(kMaxCopyRead);
    if (conn.ReceivedLength() > 0 && !Work().requests.empty()) {
        const int64_t need = skip_ + Work().requests.front().length - conn.ReceivedLength();
        if (need > 0) {
            want = static_cast<int32_t>(std::min<int64_t>(want, need));
        }
    }
    if (conn.ReceiveBytes(want) < 0) {
        return false;
    }
    if (!DeliverBuffered()) {
        return false;
    }
    return conn.IsOpen();
}

}  // namespace kf
