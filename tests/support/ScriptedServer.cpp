#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr int kPollMs = 20;

}  // namespace

std::string ServerConnection::ReadUntil(std::string_view delimiter,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t found = pending_.find(delimiter);
        if (found != std::string::npos) {
            std::string out = pending_.substr(0, found + delimiter.size());
            pending_.erase(0, found + delimiter.size());
            return out;
        }
        if (closed_ || Stopping() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            closed_ = true;
            break;
        }
        pending_.append(chunk, static_cast<size_t>(got));
    }
    return std::exchange(pending_, std::string());
}

bool ServerConnection::Send(std::string_view bytes) {
    return SendInPieces(bytes, bytes.size());
}

bool ServerConnection::SendInPieces(std::string_view bytes, size_t piece) {
    piece = std::max<size_t>(piece, 1);
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sent < bytes.size()) {
        if (Stopping() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pollfd entry{fd_, POLLOUT, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        const size_t length = std::min(piece, bytes.size() - sent);
        const ssize_t put = send(fd_, bytes.data() + sent, length, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        sent += static_cast<size_t>(put);
    }
    return true;
}

bool ServerConnection::WaitForClientClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_ && !Stopping() && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            closed_ = true;
        } else {
            pending_.append(chunk, static_cast<size_t>(got));
        }
    }
    return closed_;
}

void ServerConnection::Close() {
    shutdown(fd_, SHUT_WR);
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {}

ScriptedServer::~ScriptedServer() {
    Stop();
}

bool ScriptedServer::Start() {
    listen_fd_ = ListenOnLoopback(16, &port_);
    if (listen_fd_ < 0) {
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ScriptedServer::Stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::Record(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_.push_back(std::move(text));
}

std::vector<std::string> ScriptedServer::Recorded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded_;
}

void ScriptedServer::Run() {
    while (!stopping_) {
        pollfd entry{listen_fd_, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) {
            continue;
        }
        const int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ServerConnection connection(fd, accepted_.fetch_add(1), stopping_);
        script_(connection);
        close(fd);
    }
}

}  // namespace kf::test
