// THttpPeer: the requests (building, attaching, planning the next run, reusing the connection)
// and redirect targets.

#include <algorithm>
#include <string>

#include "engine/peers/AddressText.h"
#include "engine/peers/THttpPeer.h"

namespace kf {

std::string THttpPeer::BuildRequest(const TPeerId& source, int64_t start, int64_t end) {
    const TPeerUrlInfo& info = source.UrlInfo();
    if (info.http_path.empty() || HasControlBytes(info.http_path) || HasControlBytes(info.host) ||
        HasControlBytes(info.referer)) {
        return {};
    }
    std::string request;
    request.reserve(320 + info.http_path.size() + info.host.size() + info.referer.size());
    request += "GET " + info.http_path + " HTTP/1.1\r\n";
    request += "Host:" + info.host + "\r\n";
    request += "Accept:*/*\r\n";
    request += "Referer: " + info.referer + "\r\n";
    request += std::string("User-Agent:") + kUserAgent + "\r\n";
    request += "Connection:Keep-Alive\r\n";
    if (end >= start) {
        request += "Range: bytes=" + std::to_string(start) + "-" + std::to_string(end) + "\r\n";
    } else if (start > 0) {
        request += "Range: bytes=" + std::to_string(start) + "-\r\n";
    }
    request += "Pragma: no-cache\r\n";
    request += "Cache-Control: no-cache\r\n";
    request += "\r\n";
    return request;
}

bool THttpPeer::Attach(const RefPtr<TPeerId>& source) {
    if (!TPeerObject::Attach(source)) {
        return false;
    }
    ClearConnectionState();
    TPeerId& record = *Source();
    TPeerUrlInfo& info = record.UrlInfo();
    position_ = 0;
    if (!info.fetch_to_memory) {
        // The size comes from this server's earlier answer or from the task's metainfo; with
        // either known the first request asks for wanted bytes instead of the file's start.
        if (work_.requests.empty() && (info.content_length > 0 || Content().ContentSizeKnown())) {
            TPeerObject::PlanRequests();
            if (work_.requests.empty()) {
                // Every range this server could take is held by others: nothing went wrong.
                SetStatus(kStatusFinished);
                return false;
            }
        }
        if (!work_.requests.empty()) {
            position_ = static_cast<int64_t>(work_.requests.front().block) * kBlockSize;
        }
        // This server answers every request with the whole file: ask it plainly and skip its
        // stream to the wanted bytes, the only way it can deliver them.
        if (info.ranges_unsupported) {
            position_ = 0;
        }
    } else if (record.role == TPeerId::kRoleTorrentLine) {
        Swarm().SetTaskState(TaskState::kFirstAnswer);
    }
    request_start_ = position_;

    if (!ConnectToSource()) {
        return false;
    }
    QSocket& conn = *Connection();

    const size_t last_slash = record.url.rfind('/');
    info.referer = last_slash == std::string::npos ? record.url : record.url.substr(0, last_slash);
    const std::string request =
        BuildRequest(record, position_, info.ranges_unsupported ? -1 : LimitedRequestEnd());
    if (request.empty()) {
        CloseConnection();
        return false;
    }
    return conn.SendBytes(request.data(), static_cast<int32_t>(request.size())) >= 0;
}

int64_t THttpPeer::LimitedRequestEnd() {
    const int32_t limit = Content().DownloadLimit();
    const int64_t piece_length = Content().PieceLength();
    if (limit <= 0 || piece_length <= 0 || !Content().ContentSizeKnown() ||
        work_.requests.empty()) {
        return -1;
    }
    // Whole pieces, about kLimitedRequestSeconds of the task's limit, within the held range.
    const int64_t wanted = position_ + std::max<int64_t>(limit / kLimitedRequestShare, 1);
    int64_t end = (wanted + piece_length - 1) / piece_length * piece_length;
    if (work_.range != nullptr) {
        end = std::min(end, (static_cast<int64_t>(work_.range->end) + 1) * piece_length);
    }
    end = std::min(end, Content().ContentSize());
    return end > position_ ? end - 1 : -1;
}

std::string THttpPeer::AbsoluteLocation(const TPeerId& source, std::string_view location) {
    if (location.empty()) {
        return {};
    }
    if (StartsWithIgnoreCase(location, "http://") || StartsWithIgnoreCase(location, "ftp://")) {
        return std::string(location);
    }
    const size_t scheme = location.find("://");
    if (scheme != std::string_view::npos && location.find('/') > scheme) {
        return {};
    }
    std::string absolute = "http://" + source.UrlInfo().host;
    if (source.port != 80) {
        absolute += ":" + std::to_string(source.port);
    }
    if (location.front() != '/') {
        absolute += "/";
    }
    absolute += location;
    return absolute;
}

bool THttpPeer::PlanRequests() {
    if (!IsConnected() || Source() == nullptr) {
        return false;
    }
    TPeerUrlInfo& info = Source()->UrlInfo();
    if (!header_done_ || Work().requests.InFlight() > 0 || info.fetch_to_memory) {
        return true;
    }
    if (SizeDiffersFromTask()) {
        return Fail(kServerErrorPenalty);
    }
    if (!PlanServerRange()) {
        return false;
    }
    if (work_.requests.empty()) {
        return true;
    }

    int32_t run = 1;
    while (run < static_cast<int32_t>(work_.requests.size())) {
        const BlockRequest& previous = work_.requests[static_cast<size_t>(run - 1)];
        const BlockRequest& next = work_.requests[static_cast<size_t>(run)];
        if (next.block != previous.block + 1 || previous.length != kBlockSize) {
            break;
        }
        ++run;
    }
    work_.requests.StartRun(run);
    skip_ = static_cast<int64_t>(work_.requests.front().block) * kBlockSize - position_;
    // A server that ignores Range is skipped any distance: a new connection would start over.
    const int64_t max_skip = info.ranges_unsupported ? INT64_MAX : kMaxSkip;
    if (skip_ >= 0 && skip_ <= max_skip && (body_left_ < 0 || skip_ < body_left_)) {
        return true;
    }
    skip_ = 0;
    return Reattach();
}

bool THttpPeer::CanReuseConnection() const {
    if (!IsConnected() || !header_done_ || body_left_ != 0 || chunked_ || no_length_ ||
        Connection()->ReceivedLength() > 0 || header_.Version() != "1.1") {
        return false;
    }
    const std::string_view connection = header_.Header("Connection");
    return !EqualsIgnoreCase(connection, "close");
}

bool THttpPeer::SendNextRequest() {
    const TPeerId& record = *Source();
    ClearConnectionState();
    position_ = work_.requests.empty()
                    ? position_
                    : static_cast<int64_t>(work_.requests.front().block) * kBlockSize;
    request_start_ = position_;
    const std::string request = BuildRequest(record, position_, LimitedRequestEnd());
    if (request.empty()) {
        return Fail(0);
    }
    MarkActivity();
    return Connection()->SendBytes(request.data(), static_cast<int32_t>(request.size())) >= 0;
}

bool THttpPeer::Reattach() {
    // A bounded answer read to its end leaves the connection ready for the next request: asking
    // on it spares the server a connection per request under a download limit.
    if (CanReuseConnection()) {
        return SendNextRequest();
    }
    RefPtr<TPeerId> source = DetachSource();
    ++source->reconnects;
    header_done_ = false;
    if (!Attach(source)) {
        if (Source() != source.get()) {
            // Not attached again: the live connection this peer stood for is gone.
            if (source->connections > 0) {
                --source->connections;
            }
        }
        return false;
    }
    return true;
}

}  // namespace kf
