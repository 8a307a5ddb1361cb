#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kf::test {

// The server side of one accepted connection, as a script sees it. Every wait is bounded and ends
// early when the server stops.
class ServerConnection {
  public:
    ServerConnection(int fd, int index, const std::atomic<bool>& stopping)
        : fd_(fd), index_(index), stopping_(stopping) {}

    // Reads until the bytes read so far contain `delimiter` (answering everything up to and
    // including it; later bytes are kept for the next read), or until `timeout`, the client's
    // close or the server's stop (answering what was read, possibly nothing).
    std::string ReadUntil(std::string_view delimiter,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Sends everything (blocking); false when the client has gone.
    bool Send(std::string_view bytes);
    // Sends in pieces of `piece` bytes, one per system call.
    bool SendInPieces(std::string_view bytes, size_t piece);
    // Waits until the client closes its end, the server stops, or `timeout`. True on the close.
    bool WaitForClientClose(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Ends the connection (a FIN; further sends fail).
    void Close();
    int Index() const { return index_; }  // 0 for the first connection the server accepted
    bool Stopping() const { return stopping_.load(); }

  private:
    int fd_;
    int index_;
    const std::atomic<bool>& stopping_;
    std::string pending_;
    bool closed_ = false;
};

// A TCP server on 127.0.0.1 (a free port) that runs a script per accepted connection, one
// connection at a time, on a thread of its own. The script plays the remote party: it reads the
// client's request, answers with exact bytes, stalls, or closes early. Requests are recorded by
// the script itself (use a lock or the Record helper).
class ScriptedServer {
  public:
    using Script = std::function<void(ServerConnection&)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Start();
    void Stop();
    int32_t Port() const { return port_; }
    std::string Url(const std::string& path) const;
    int Accepted() const { return accepted_.load(); }

    // A thread-safe list of texts (requests seen by the script).
    void Record(std::string text);
    std::vector<std::string> Recorded() const;

  private:
    void Run();

    Script script_;
    int listen_fd_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> recorded_;
};

}  // namespace kf::test
