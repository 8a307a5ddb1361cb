#include "support/LyingHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr int kPollMs = 20;
constexpr size_t kMaxRequestBytes = 16 * 1024;
constexpr auto kRequestWait = std::chrono::seconds(20);
constexpr auto kSendWait = std::chrono::seconds(60);
constexpr auto kStallWait = std::chrono::seconds(120);
constexpr int64_t kSendChunk = 64 * 1024;

// The value of header `name` in a request, or empty.
std::string HeaderValue(const std::string& request, const char* name) {
    const size_t name_length = std::char_traits<char>::length(name);
    size_t line = request.find("\r\n");
    while (line != std::string::npos) {
        const size_t start = line + 2;
        const size_t end = request.find("\r\n", start);
        if (end == std::string::npos || end == start) {
            break;
        }
        if (end - start > name_length && request[start + name_length] == ':' &&
            strncasecmp(request.c_str() + start, name, name_length) == 0) {
            size_t value = start + name_length + 1;
            while (value < end && request[value] == ' ') {
                ++value;
            }
            return request.substr(value, end - value);
        }
        line = end;
    }
    return {};
}

}  // namespace

const char* FaultName(LyingHttpServer::Fault fault) {
    using Fault = LyingHttpServer::Fault;
    switch (fault) {
        case Fault::kNone:
            return "Honest";
        case Fault::kIgnoreRange:
            return "IgnoresRange";
        case Fault::kShiftedRange:
            return "ShiftedRange";
        case Fault::kWrongTotal:
            return "WrongTotal";
        case Fault::kWrongLength:
            return "WrongLength";
        case Fault::kCutShort:
            return "CutShort";
        case Fault::kGarbage:
            return "Garbage";
        case Fault::kRedirectLoop:
            return "RedirectLoop";
        case Fault::kNotFound:
            return "NotFound";
        case Fault::kUnavailable:
            return "Unavailable";
        case Fault::kStallAfterHeader:
            return "StallAfterHeader";
    }
    return "Unknown";
}

struct LyingHttpServer::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::string pending;
};

LyingHttpServer::LyingHttpServer(std::string content, Fault fault)
    : content_(std::move(content)), fault_(fault) {}

LyingHttpServer::~LyingHttpServer() {
    Stop();
}

void LyingHttpServer::SetGarbage(int64_t period, int64_t offset, int64_t length) {
    garbage_period_ = std::max<int64_t>(period, 1);
    garbage_offset_ = offset;
    garbage_length_ = length;
}

bool LyingHttpServer::Start() {
    listen_fd_ = ListenOnLoopback(64, &port_);
    if (listen_fd_ < 0) {
        return false;
    }
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LyingHttpServer::Stop() {
    stopping_ = true;
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    JoinFinished(true);
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
}

std::string LyingHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LyingHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LyingHttpServer::JoinFinished(bool all) {
    std::vector<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& connection : done) {
        if (all) {
            shutdown(connection->fd, SHUT_RDWR);  // wakes a thread waiting on the client
        }
        connection->thread.join();
        close(connection->fd);
    }
}

void LyingHttpServer::AcceptLoop() {
    while (!stopping_) {
        JoinFinished(false);
        pollfd entry{listen_fd_, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        const int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        accepted_.fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex_);
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] {
            Serve(*raw);
            raw->finished = true;
        });
    }
}

void LyingHttpServer::Serve(Connection& connection) {
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + kRequestWait;
        size_t end = std::string::npos;
        while ((end = connection.pending.find("\r\n\r\n")) == std::string::npos) {
            if (stopping_ || std::chrono::steady_clock::now() >= deadline ||
                connection.pending.size() > kMaxRequestBytes) {
                return;
            }
            pollfd entry{connection.fd, POLLIN, 0};
            if (poll(&entry, 1, kPollMs) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = recv(connection.fd, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                return;  // the client left
            }
            connection.pending.append(chunk, static_cast<size_t>(got));
        }
        const std::string request = connection.pending.substr(0, end + 4);
        connection.pending.erase(0, end + 4);
        if (!Answer(connection, request)) {
            return;
        }
    }
}

bool LyingHttpServer::Answer(Connection& connection, const std::string& request) {
    const size_t first_space = request.find(' ');
    const size_t second_space = request.find(' ', first_space + 1);
    const std::string path = first_space == std::string::npos || second_space == std::string::npos
                                 ? std::string("/")
                                 : request.substr(first_space + 1, second_space - first_space - 1);
    const std::string range = HeaderValue(request, "Range");
    request_count_.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back("GET " + path + " " + range);
    }

    auto send_text = [&](const std::string& text) { return SendRaw(connection, text, false); };
    const Fault fault = ranged_only_ && range.empty() ? Fault::kNone : fault_;
    switch (fault) {
        case Fault::kNotFound:
            send_text("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return false;
        case Fault::kUnavailable:
            send_text("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
            return false;
        case Fault::kRedirectLoop:
            send_text("HTTP/1.1 302 Found\r\nLocation: " +
                      (redirect_target_.empty() ? path : redirect_target_) +
                      "\r\nContent-Length: 0\r\n\r\n");
            return false;
        default:
            break;
    }

    const auto size = static_cast<int64_t>(content_.size());
    bool ranged = false;
    int64_t first = 0;
    int64_t last = size - 1;
    if (range.rfind("bytes=", 0) == 0 && fault != Fault::kIgnoreRange) {
        char* after = nullptr;
        first = std::strtoll(range.c_str() + 6, &after, 10);
        if (after != nullptr && *after == '-' && after[1] >= '0' && after[1] <= '9') {
            last = std::min<int64_t>(std::strtoll(after + 1, nullptr, 10), size - 1);
        }
        ranged = true;
    }
    if (fault == Fault::kShiftedRange) {
        first += kShift;
        ranged = true;
    }
    if (fault == Fault::kWrongTotal) {
        ranged = true;
    }
    if (first >= size || first > last) {
        send_text("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                  std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n");
        return false;
    }
    const int64_t length = last - first + 1;
    const int64_t stated_length =
        fault == Fault::kWrongLength ? std::max<int64_t>(length - kLengthShortfall, 1) : length;
    const int64_t stated_total = fault == Fault::kWrongTotal ? size + kTotalSurplus : size;
    std::string header =
        ranged ? "HTTP/1.1 206 Partial Content\r\n" : std::string("HTTP/1.1 200 OK\r\n");
    header += "Server: liar\r\nContent-Type: application/octet-stream\r\n";
    header += "Content-Length: " + std::to_string(stated_length) + "\r\n";
    if (ranged) {
        header += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                  "/" + std::to_string(stated_total) + "\r\n";
    }
    header += "Connection: keep-alive\r\n\r\n";
    if (!send_text(header)) {
        return false;
    }
    if (fault == Fault::kStallAfterHeader) {
        const auto deadline = std::chrono::steady_clock::now() + kStallWait;
        while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{connection.fd, POLLIN, 0};
            if (poll(&entry, 1, kPollMs) > 0) {
                char chunk[4096];
                if (recv(connection.fd, chunk, sizeof(chunk), 0) <= 0) {
                    break;  // the client gave up
                }
            }
        }
        return false;
    }
    if (fault == Fault::kCutShort) {
        SendBody(connection, first, std::min(length, kCutBytes), fault);
        return false;
    }
    return SendBody(connection, first, length, fault);
}

bool LyingHttpServer::SendRaw(Connection& connection, std::string_view bytes, bool body) {
    const auto deadline = std::chrono::steady_clock::now() + kSendWait;
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopping_ || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pollfd entry{connection.fd, POLLOUT, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t put =
            send(connection.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;  // the client closed
        }
        done += static_cast<size_t>(put);
        if (body) {
            body_bytes_.fetch_add(put);
        }
    }
    return true;
}

bool LyingHttpServer::SendBody(Connection& connection, int64_t first, int64_t length, Fault fault) {
    std::string chunk;
    for (int64_t sent = 0; sent < length;) {
        const int64_t offset = first + sent;
        const int64_t count = std::min(kSendChunk, length - sent);
        chunk.assign(content_, static_cast<size_t>(offset), static_cast<size_t>(count));
        if (fault == Fault::kGarbage) {
            for (int64_t i = 0; i < count; ++i) {
                const int64_t in_period = (offset + i) % garbage_period_;
                if (in_period >= garbage_offset_ && in_period < garbage_offset_ + garbage_length_) {
                    char& byte = chunk[static_cast<size_t>(i)];
                    byte = static_cast<char>(~byte);
                }
            }
        }
        if (!SendRaw(connection, chunk, true)) {
            return false;
        }
        sent += count;
    }
    return true;
}

}  // namespace kf::test
