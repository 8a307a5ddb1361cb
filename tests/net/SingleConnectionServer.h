#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace kf::test {

// The accepted side of a scripted exchange: blocking reads and writes, each bounded in time.
class ScriptConnection {
  public:
    explicit ScriptConnection(int fd) : fd_(fd) {}
    ScriptConnection(ScriptConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ScriptConnection(const ScriptConnection&) = delete;
    ScriptConnection& operator=(const ScriptConnection&) = delete;
    ~ScriptConnection() { Close(); }

    // Reads exactly `count` bytes; false on time-out or close.
    bool Read(size_t count, std::string& out, int timeout_ms = 5000);
    // Reads `expected.size()` bytes and records a test failure unless they are exactly `expected`.
    bool Expect(std::string_view expected, int timeout_ms = 5000);
    bool Write(std::string_view bytes);
    // True once the other side has closed (reads until end of stream, discarding).
    bool WaitClosed(int timeout_ms = 5000);
    void Close();
    int Fd() const { return fd_; }

  private:
    int fd_;
};

// A one-connection server on 127.0.0.1 with a port the system chose. Its thread accepts a single
// connection (waiting at most 10 s) and runs the script on it; the destructor joins the thread.
// Scripts use gtest EXPECT_* macros (safe from other threads) and must stay bounded in time.
class SingleConnectionServer {
  public:
    using Script = std::function<void(ScriptConnection&)>;

    // `backlog` is handed to listen(); `accept` false leaves connections unaccepted (the script
    // is then not run).
    explicit SingleConnectionServer(Script script, int backlog = 8, bool accept = true);
    ~SingleConnectionServer();
    SingleConnectionServer(const SingleConnectionServer&) = delete;
    SingleConnectionServer& operator=(const SingleConnectionServer&) = delete;

    int32_t Port() const { return port_; }
    // 127.0.0.1 in network order.
    static uint32_t Loopback();
    // With `accept` false: wait until a connection is waiting in the accept queue, and take one.
    bool WaitAcceptable(int timeout_ms = 5000) const;
    ScriptConnection AcceptPending();
    bool ScriptDone() const { return done_.load(); }
    // Waits (bounded) for the script to finish.
    bool WaitDone(int timeout_ms = 10000) const;

  private:
    int listen_fd_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Polls `condition` every few milliseconds for at most `timeout_ms`.
bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 10000);

}  // namespace kf::test
