#include "support/HostilePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr uint8_t kUnchoke = 1;
constexpr uint8_t kBitfield = 5;
constexpr uint8_t kRequest = 6;
constexpr uint8_t kPiece = 7;
constexpr size_t kHandshakeSize = 68;
constexpr const char kProtocol[] =
    "\x13"
    "BitTorrent protocol";
// The engine's own messages are small; a larger one ends the conversation.
constexpr uint32_t kLargestMessage = 1 << 20;
constexpr auto kConnectionTime = std::chrono::seconds(60);
constexpr size_t kMaxConnections = 32;

void PutU32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

uint32_t GetU32(const std::string& in, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<uint8_t>(in[at + i]);
    }
    return value;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    // Bounded by the socket's send time-out.
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string HexToBytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace

HostilePeer::HostilePeer(Behaviour behaviour, const std::string& info_hash_hex, std::string content,
                         int64_t piece_length)
    : behaviour_(behaviour),
      info_hash_(HexToBytes(info_hash_hex)),
      content_(std::move(content)),
      piece_length_(piece_length) {}

HostilePeer::~HostilePeer() {
    Stop();
}

bool HostilePeer::Start(const std::string& address) {
    address_ = address;
    port_ = FreeTcpUdpPort(address);
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (port_ == 0 || listen_fd_ < 0) {
        return false;
    }
    const int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port_));
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        listen(listen_fd_, 16) != 0) {
        return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void HostilePeer::Stop() {
    stop_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& connection : connections) {
        connection.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
}

void HostilePeer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ++accepted_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (connections_.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        connections_.emplace_back([this, fd] {
            Serve(fd);
            close(fd);
        });
    }
}

std::string HostilePeer::Bitfield() const {
    const int64_t pieces =
        (static_cast<int64_t>(content_.size()) + piece_length_ - 1) / piece_length_;
    std::string bits(static_cast<size_t>((pieces + 7) / 8), '\0');
    for (int64_t i = 0; i < pieces; ++i) {
        bits[static_cast<size_t>(i / 8)] |= static_cast<char>(0x80 >> (i % 8));
    }
    if (behaviour_ == Behaviour::kWrongBitfieldSize) {
        bits.append(3, '\xff');
    }
    return bits;
}

std::string HostilePeer::Block(uint32_t index, uint32_t begin, uint32_t length, bool wrong) const {
    std::string payload;
    PutU32(payload, index);
    PutU32(payload, begin);
    const int64_t at = static_cast<int64_t>(index) * piece_length_ + begin;
    std::string data(length, '\x5a');
    if (!wrong && at >= 0 && at + length <= static_cast<int64_t>(content_.size())) {
        data = content_.substr(static_cast<size_t>(at), length);
    } else if (at >= 0 && at + length <= static_cast<int64_t>(content_.size())) {
        // Every byte differs from the real one.
        data = content_.substr(static_cast<size_t>(at), length);
        for (char& c : data) {
            c = static_cast<char>(~c);
        }
    }
    return payload + data;
}

bool HostilePeer::Answer(int fd, uint8_t id, const std::string& payload) {
    std::string message;
    PutU32(message, static_cast<uint32_t>(payload.size() + 1));
    message.push_back(static_cast<char>(id));
    message += payload;
    return SendAll(fd, message);
}

void HostilePeer::Serve(int fd) {
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    const auto deadline = std::chrono::steady_clock::now() + kConnectionTime;
    std::string in;
    bool greeted = false;
    char buffer[16384];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            return;
        }
        in.append(buffer, static_cast<size_t>(got));
        if (!greeted) {
            if (in.size() < kHandshakeSize) {
                continue;
            }
            if (in.compare(0, 20, kProtocol, 20) != 0) {
                return;  // not a plain handshake
            }
            ++handshakes_;
            const std::string their_id = in.substr(48, 20);
            std::string answer(kProtocol, 20);
            answer.append(8, '\0');
            answer +=
                behaviour_ == Behaviour::kWrongInfoHash ? std::string(20, '\x42') : info_hash_;
            answer += behaviour_ == Behaviour::kOwnPeerId ? their_id : PeerId();
            in.erase(0, kHandshakeSize);
            if (!SendAll(fd, answer) || !Answer(fd, kBitfield, Bitfield()) ||
                !Answer(fd, kUnchoke, "")) {
                return;
            }
            greeted = true;
            if (behaviour_ == Behaviour::kOversizedLength) {
                std::string header;
                PutU32(header, 0xfffffff0u);
                header.push_back(static_cast<char>(kPiece));
                header.append(64, '\0');
                if (!SendAll(fd, header)) {
                    return;
                }
            }
        }
        while (in.size() >= 4) {
            const uint32_t length = GetU32(in, 0);
            if (length > kLargestMessage) {
                return;
            }
            if (in.size() < 4 + length) {
                break;
            }
            const std::string message = in.substr(4, length);
            in.erase(0, 4 + length);
            if (message.empty() || static_cast<uint8_t>(message[0]) != kRequest ||
                message.size() != 13) {
                continue;
            }
            ++requests_;
            const uint32_t index = GetU32(message, 1);
            const uint32_t begin = GetU32(message, 5);
            const uint32_t size = GetU32(message, 9);
            if (size > (1u << 17)) {
                continue;
            }
            switch (behaviour_) {
                case Behaviour::kStall:
                case Behaviour::kOversizedLength:
                    continue;
                case Behaviour::kUnrequestedBlocks: {
                    const auto pieces = static_cast<uint32_t>(
                        (static_cast<int64_t>(content_.size()) + piece_length_ - 1) /
                        piece_length_);
                    // Another piece's block, a block past the end, then the one asked for.
                    for (const auto& [at, wrong] :
                         {std::pair{(index + 1) % pieces, true}, std::pair{pieces + 3, true},
                          std::pair{index, false}}) {
                        if (!Answer(fd, kPiece, Block(at, wrong ? 0 : begin, size, wrong))) {
                            return;
                        }
                        ++blocks_sent_;
                        block_bytes_sent_ += size;
                    }
                    break;
                }
                default:
                    if (!Answer(fd, kPiece,
                                Block(index, begin, size, behaviour_ == Behaviour::kWrongData))) {
                        return;
                    }
                    ++blocks_sent_;
                    block_bytes_sent_ += size;
                    break;
            }
        }
    }
}

}  // namespace kf::test
