#include "engine/peers/TrackerRequest.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/os/ByteOrder.h"

namespace kf {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr uint8_t kProtocolId[8] = {0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80};
constexpr uint32_t kActionConnect = 0;
constexpr uint32_t kActionAnnounce = 1;
constexpr int32_t kDefaultHttpPort = 80;

bool IsAlphanumeric(uint8_t byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

void AppendEscaped(std::string& out, uint8_t byte) {
    out += '%';
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

const char* EventText(int32_t event) {
    switch (event) {
        case TrackerRequest::kEventCompleted:
            return "completed";
        case TrackerRequest::kEventStarted:
            return "started";
        default:
            return "stopped";
    }
}

uint64_t NonNegative(int64_t value) {
    return value > 0 ? static_cast<uint64_t>(value) : 0;
}

}  // namespace

std::string TrackerRequest::EscapeBytes(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const uint8_t byte : bytes) {
        if (IsAlphanumeric(byte)) {
            out += static_cast<char>(byte);
        } else {
            AppendEscaped(out, byte);
        }
    }
    return out;
}

std::string TrackerRequest::HttpQuery(std::string_view path, const Figures& figures) {
    if (path.empty() || path.front() != '/') {
        return {};
    }
    std::string query;
    query.reserve(path.size() + 256);
    for (const char c : path) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            AppendEscaped(query, byte);
        } else {
            query += c;
        }
    }
    query += "?info_hash=" + EscapeBytes(figures.info_hash);
    query += "&peer_id=" + EscapeBytes(figures.peer_id);
    query += "&port=" + std::to_string(figures.port);
    query += "&uploaded=" + std::to_string(figures.uploaded);
    query += "&downloaded=" + std::to_string(figures.downloaded);
    query += "&left=" + std::to_string(figures.left);
    query += std::string("&event=") + EventText(figures.event);
    query += "&key=3800&compact=1&numwant=" + std::to_string(kNumWant);
    return query;
}

std::string TrackerRequest::HttpRequest(std::string_view query, std::string_view host,
                                        int32_t port) {
    const auto breaks_line = [](char c) {
        const auto byte = static_cast<uint8_t>(c);
        return byte <= 0x20 || byte == 0x7F;
    };
    if (query.empty() || host.empty() || std::any_of(query.begin(), query.end(), breaks_line) ||
        std::any_of(host.begin(), host.end(), breaks_line)) {
        return {};
    }
    std::string request;
    request.reserve(query.size() + host.size() + 128);
    request += "GET ";
    request += query;
    request += " HTTP/1.0\r\n";
    request += "User-Agent: BitTorrent/4.1.2\r\n";
    request += "Host: ";
    request += host;
    if (port != kDefaultHttpPort) {
        request += ":" + std::to_string(port);
    }
    request += "\r\n";
    // No Accept-Encoding: an answer in a content coding could not be read as bencode.
    request += "Connection: close\r\n\r\n";
    return request;
}

std::array<uint8_t, TrackerRequest::kConnectSize> TrackerRequest::UdpConnect(
    const TransactionId& transaction) {
    std::array<uint8_t, kConnectSize> out{};
    std::memcpy(out.data(), kProtocolId, sizeof kProtocolId);
    StoreBe32(out.data() + 8, kActionConnect);
    std::copy(transaction.begin(), transaction.end(), out.begin() + 12);
    return out;
}

std::array<uint8_t, TrackerRequest::kAnnounceSize> TrackerRequest::UdpAnnounce(
    const ConnectionId& connection, const TransactionId& transaction, const Figures& figures) {
    std::array<uint8_t, kAnnounceSize> out{};
    std::copy(connection.begin(), connection.end(), out.begin());
    StoreBe32(out.data() + 8, kActionAnnounce);
    std::copy(transaction.begin(), transaction.end(), out.begin() + 12);
    std::copy(figures.info_hash.begin(), figures.info_hash.end(), out.begin() + 16);
    std::copy(figures.peer_id.begin(), figures.peer_id.end(), out.begin() + 36);
    StoreBe64(out.data() + 56, NonNegative(figures.downloaded));
    StoreBe64(out.data() + 64, NonNegative(figures.left));
    StoreBe64(out.data() + 72, NonNegative(figures.uploaded));
    const int32_t event = figures.event == kEventCompleted || figures.event == kEventStarted
                              ? figures.event
                              : kEventStopped;
    StoreBe32(out.data() + 80, static_cast<uint32_t>(event));
    std::memcpy(out.data() + 84, &figures.ip, 4);  // already in network order
    StoreBe32(out.data() + 92, kNumWant);
    StoreBe16(out.data() + 96, static_cast<uint16_t>(figures.port));
    return out;
}

TrackerRequest::TransactionId TrackerRequest::NewTransactionId() {
    thread_local std::random_device source;
    const uint32_t value = source();
    TransactionId id{};
    std::memcpy(id.data(), &value, id.size());
    return id;
}

}  // namespace kf
