#include "engine/peers/TrackerAnswer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "engine/content/Bencode.h"
#include "engine/net/Ipv4Address.h"
#include "engine/os/ByteOrder.h"
#include "engine/peers/AddressText.h"
#include "engine/peers/ChunkedDecoder.h"
#include "engine/peers/TPeerId.h"

namespace kf {

namespace {

constexpr uint32_t kActionConnect = 0;
constexpr uint32_t kActionAnnounce = 1;
constexpr uint32_t kActionError = 3;
constexpr size_t kUdpHeader = 8;
constexpr size_t kUdpConnectAnswer = 16;
constexpr size_t kUdpPeersOffset = 20;
constexpr size_t kCompactEntry = 6;

// The datagram is at least a header long, carries `action` and echoes `sent`.
bool UdpHeaderMatches(std::span<const uint8_t> datagram, uint32_t action,
                      const TrackerRequest::TransactionId& sent) {
    return datagram.size() >= kUdpHeader && LoadBe32(datagram.data()) == action &&
           std::equal(sent.begin(), sent.end(), datagram.begin() + 4);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool ContainsIgnoreCase(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) {
        return false;
    }
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (EqualsIgnoreCase(text.substr(i, word.size()), word)) {
            return true;
        }
    }
    return false;
}

// Header facts that decide where the body ends.
struct BodyRule {
    bool broken = false;
    bool chunked = false;
    std::optional<size_t> length;
};

BodyRule ReadBodyRule(std::string_view header) {
    BodyRule rule;
    size_t line_start = header.find('\n');  // the status line says nothing about the body
    while (line_start != std::string_view::npos && line_start + 1 < header.size()) {
        ++line_start;
        const size_t line_end = header.find('\n', line_start);
        const std::string_view line =
            header.substr(line_start, line_end == std::string_view::npos ? std::string_view::npos
                                                                         : line_end - line_start);
        line_start = line_end;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsIgnoreCase(name, "Transfer-Encoding")) {
            rule.chunked = rule.chunked || ContainsIgnoreCase(value, "chunked");
        } else if (EqualsIgnoreCase(name, "Content-Length")) {
            // Only plain digits, small enough to be an answer we would keep; two different
            // lengths leave no way to tell where the body ends.
            const bool digits = !value.empty() && value.size() <= 9 &&
                                std::all_of(value.begin(), value.end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
            size_t length = 0;
            if (digits) {
                std::from_chars(value.data(), value.data() + value.size(), length);
            }
            if (!digits || length > TrackerAnswer::kMaxHttpAnswer ||
                (rule.length.has_value() && *rule.length != length)) {
                rule.broken = true;
            }
            rule.length = length;
        }
    }
    return rule;
}

// A string value that is not an integer entry.
const QElement* StringValue(const QElement& dictionary, std::string_view key) {
    const QElement* value = dictionary.FindValue(key);
    return value != nullptr && value->Kind() == ElementKind::kString && !value->HasInteger()
               ? value
               : nullptr;
}

std::optional<int64_t> IntegerValue(const QElement& dictionary, std::string_view key) {
    const QElement* value = dictionary.FindValue(key);
    if (value == nullptr || !value->HasInteger()) {
        return std::nullopt;
    }
    return value->Integer();
}

}  // namespace

TrackerAnswer::HttpFrame TrackerAnswer::FrameHttp(std::span<const uint8_t> received, bool closed) {
    HttpFrame frame;
    if (received.size() > kMaxHttpAnswer) {
        frame.state = HttpState::kBroken;
        return frame;
    }
    const std::string_view text(reinterpret_cast<const char*>(received.data()), received.size());
    const size_t crlf = text.find("\r\n\r\n");
    const size_t lflf = text.find("\n\n");
    if (crlf == std::string_view::npos && lflf == std::string_view::npos) {
        frame.state = closed ? HttpState::kBroken : HttpState::kNeedMore;
        return frame;
    }
    const size_t body_begin = crlf < lflf ? crlf + 4 : lflf + 2;
    const BodyRule rule = ReadBodyRule(text.substr(0, body_begin));
    const std::string_view rest = text.substr(body_begin);
    if (rule.broken) {
        frame.state = HttpState::kBroken;
    } else if (rule.chunked) {
        ChunkedDecoder decoder(kMaxHttpAnswer);
        decoder.Feed(rest, frame.body);
        frame.state = decoder.state() == ChunkedDecoder::State::kComplete ? HttpState::kComplete
                      : decoder.state() == ChunkedDecoder::State::kBroken ? HttpState::kBroken
                                                                          : HttpState::kNeedMore;
    } else if (rule.length.has_value()) {
        if (rest.size() >= *rule.length) {
            frame.body.assign(rest.substr(0, *rule.length));
            frame.state = HttpState::kComplete;
        }
    } else if (closed) {
        frame.body.assign(rest);
        frame.state = HttpState::kComplete;
    }
    if (frame.state == HttpState::kNeedMore && closed) {
        frame.state = HttpState::kBroken;
    }
    if (frame.state != HttpState::kComplete) {
        frame.body.clear();
    }
    return frame;
}

TrackerAnswer TrackerAnswer::ParseHttpBody(std::span<const uint8_t> body) {
    TrackerAnswer answer;
    const std::unique_ptr<QElement> root = ParseValue(body);
    if (root == nullptr || root->Kind() != ElementKind::kDictionary) {
        return answer;
    }
    answer.well_formed = true;
    if (const std::optional<int64_t> interval = IntegerValue(*root, "interval");
        interval.has_value() && *interval > kShortestInterval) {
        answer.interval =
            static_cast<int32_t>(std::min<int64_t>(*interval, std::numeric_limits<int32_t>::max()));
    }
    answer.done_peers = IntegerValue(*root, "done peers").value_or(0);
    answer.num_completed = IntegerValue(*root, "num completed").value_or(0);
    if (const QElement* reason = StringValue(*root, "failure reason"); reason != nullptr) {
        answer.failure_reason = std::string(reason->Bytes());
    }

    const QElement* peers = root->FindValue("peers");
    if (peers == nullptr || peers->HasInteger()) {
        return answer;
    }
    if (peers->Kind() == ElementKind::kString) {
        const std::string_view bytes = peers->Bytes();
        answer.AddCompactPeers(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        return answer;
    }
    if (peers->Kind() != ElementKind::kList) {
        return answer;
    }
    for (const QElement* entry = peers->ChildAt(0); entry != nullptr;
         entry = peers->NextSibling(entry)) {
        if (entry->Kind() != ElementKind::kDictionary) {
            continue;
        }
        const QElement* ip_text = StringValue(*entry, "ip");
        const std::optional<int64_t> port = IntegerValue(*entry, "port");
        if (ip_text == nullptr || !port.has_value() || *port < 1 || *port > 65535 ||
            !IsDigitsAndDots(ip_text->Bytes())) {
            continue;
        }
        Peer peer;
        peer.ip = ParseDottedAddress(ip_text->Bytes());
        peer.port = static_cast<int32_t>(*port);
        const QElement* id = StringValue(*entry, "peer id");
        if (id != nullptr && id->Bytes().size() >= peer.peer_id.size()) {
            std::memcpy(peer.peer_id.data(), id->Bytes().data(), peer.peer_id.size());
        } else {
            peer.peer_id = TPeerId::DictionaryPeerId(peer.ip, peer.port);
        }
        if (!answer.AddPeer(peer)) {
            break;
        }
    }
    return answer;
}

std::optional<TrackerRequest::ConnectionId> TrackerAnswer::ParseUdpConnect(
    std::span<const uint8_t> datagram, const TrackerRequest::TransactionId& sent) {
    if (datagram.size() < kUdpConnectAnswer || !UdpHeaderMatches(datagram, kActionConnect, sent)) {
        return std::nullopt;
    }
    TrackerRequest::ConnectionId id{};
    std::copy(datagram.begin() + kUdpHeader, datagram.begin() + kUdpConnectAnswer, id.begin());
    return id;
}

std::optional<TrackerAnswer> TrackerAnswer::ParseUdpAnnounce(
    std::span<const uint8_t> datagram, const TrackerRequest::TransactionId& sent) {
    if (std::optional<std::string> error = ParseUdpError(datagram, sent); error.has_value()) {
        TrackerAnswer answer;
        answer.failure_reason = std::move(error);
        return answer;
    }
    if (!UdpHeaderMatches(datagram, kActionAnnounce, sent)) {
        return std::nullopt;
    }
    TrackerAnswer answer;
    answer.well_formed = true;
    if (datagram.size() > kUdpPeersOffset) {
        answer.AddCompactPeers(datagram.subspan(kUdpPeersOffset));
    }
    return answer;
}

std::optional<std::string> TrackerAnswer::ParseUdpError(std::span<const uint8_t> datagram,
                                                        const TrackerRequest::TransactionId& sent) {
    if (!UdpHeaderMatches(datagram, kActionError, sent)) {
        return std::nullopt;
    }
    const std::span<const uint8_t> message =
        datagram.subspan(kUdpHeader, std::min(datagram.size(), kMaxDatagram) - kUdpHeader);
    return std::string(message.begin(), message.end());
}

void TrackerAnswer::AddCompactPeers(std::span<const uint8_t> bytes) {
    for (size_t offset = 0; offset + kCompactEntry <= bytes.size(); offset += kCompactEntry) {
        Peer peer;
        std::memcpy(&peer.ip, bytes.data() + offset, 4);  // stays in network order
        peer.port = (bytes[offset + 4] << 8) | bytes[offset + 5];
        peer.peer_id = TPeerId::CompactPeerId(peer.ip, peer.port);
        if (!AddPeer(peer)) {
            return;
        }
    }
}

bool TrackerAnswer::AddPeer(const Peer& peer) {
    if (peers.size() >= kMaxPeers) {
        return false;
    }
    if (peer.port >= 1 && peer.port <= 65535 && IsValidAddress(peer.ip)) {
        peers.push_back(peer);
    }
    return true;
}

}  // namespace kf
