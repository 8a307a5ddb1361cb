#include "SingleConnectionServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kf::test {

namespace {

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool PollFor(int fd, short events, int timeout_ms) {
    pollfd entry{fd, events, 0};
    const int result = poll(&entry, 1, timeout_ms);
    return result == 1;
}

}  // namespace

bool ScriptConnection::Read(size_t count, std::string& out, int timeout_ms) {
    out.clear();
    const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
    while (out.size() < count) {
        const uint64_t now = NowMs();
        if (now >= deadline || !PollFor(fd_, POLLIN, static_cast<int>(deadline - now))) {
            return false;
        }
        char buffer[4096];
        const size_t want = std::min(sizeof(buffer), count - out.size());
        const ssize_t got = recv(fd_, buffer, want, 0);
        if (got <= 0) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool ScriptConnection::Expect(std::string_view expected, int timeout_ms) {
    std::string got;
    const bool complete = Read(expected.size(), got, timeout_ms);
    EXPECT_TRUE(complete) << "only " << got.size() << " of " << expected.size() << " bytes came";
    EXPECT_EQ(got, std::string(expected));
    return complete && got == expected;
}

bool ScriptConnection::Write(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        sent += static_cast<size_t>(written);
    }
    return true;
}

bool ScriptConnection::WaitClosed(int timeout_ms) {
    const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
    while (true) {
        const uint64_t now = NowMs();
        if (now >= deadline || !PollFor(fd_, POLLIN, static_cast<int>(deadline - now))) {
            return false;
        }
        char buffer[4096];
        const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            return true;
        }
    }
}

void ScriptConnection::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

uint32_t SingleConnectionServer::Loopback() {
    return htonl(INADDR_LOOPBACK);
}

SingleConnectionServer::SingleConnectionServer(Script script, int backlog, bool accept) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Loopback();
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listen_fd_, backlog) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1: errno " << errno;
        done_ = true;
        return;
    }
    port_ = ntohs(address.sin_port);
    if (!accept) {
        done_ = true;
        return;
    }
    thread_ = std::thread([this, script = std::move(script)] {
        if (PollFor(listen_fd_, POLLIN, 10000)) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ScriptConnection connection(fd);
                script(connection);
                connection.Close();
            }
        } else {
            ADD_FAILURE() << "nobody connected to the scripted server";
        }
        done_ = true;
    });
}

SingleConnectionServer::~SingleConnectionServer() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
    }
}

bool SingleConnectionServer::WaitAcceptable(int timeout_ms) const {
    return PollFor(listen_fd_, POLLIN, timeout_ms);
}

ScriptConnection SingleConnectionServer::AcceptPending() {
    return ScriptConnection(::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool SingleConnectionServer::WaitDone(int timeout_ms) const {
    return WaitFor([this] { return done_.load(); }, timeout_ms);
}

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
    const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
    while (!condition()) {
        if (NowMs() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kf::test
