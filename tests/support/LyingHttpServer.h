#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kf::test {

// An HTTP/1.1 server on 127.0.0.1 (a free port) that serves the real bytes of one file under any
// path, with one chosen fault, for tests of how the engine treats untrusted sources. Unlike
// ScriptedServer every connection gets a thread of its own (at most kMaxConnections at once;
// more are closed at once), so a client may hold several connections, as the engine does.
//
//   LyingHttpServer liar(content, LyingHttpServer::Fault::kShiftedRange);
//   ASSERT_TRUE(liar.Start());
//   ... liar.Url("/file.bin") ...
//
// Every wait is bounded; Stop (also run by the destructor) ends every connection and joins the
// threads.
class LyingHttpServer {
  public:
    enum class Fault {
        kNone,              // honest: 200 with the whole file, 206 with the asked range
        kIgnoreRange,       // every answer is 200 with the whole file from byte 0
        kShiftedRange,      // 206 whose Content-Range and bytes start one block after the ask
        kWrongTotal,        // 206 for every request, with a Content-Range total 4096 too large
        kWrongLength,       // Content-Length 1000 bytes short of the bytes that follow
        kCutShort,          // the body ends (the connection closes) after kCutBytes
        kGarbage,           // bytes of the file inside SetGarbage's window are replaced
        kRedirectLoop,      // 302 to the very address asked
        kNotFound,          // 404
        kUnavailable,       // 503
        kStallAfterHeader,  // the header of a right answer, then silence until the client leaves
    };
    static constexpr int kMaxConnections = 32;
    static constexpr int64_t kCutBytes = 100000;  // not a multiple of the 16 KiB block
    static constexpr int64_t kShift = 16384;
    static constexpr int64_t kTotalSurplus = 4096;
    static constexpr int64_t kLengthShortfall = 1000;

    LyingHttpServer(std::string content, Fault fault);
    ~LyingHttpServer();
    LyingHttpServer(const LyingHttpServer&) = delete;
    LyingHttpServer& operator=(const LyingHttpServer&) = delete;

    // kGarbage: in every run of `period` file bytes, the `length` bytes from `offset` on (within
    // the run) are sent inverted. The default spoils one byte in every 64 KiB.
    void SetGarbage(int64_t period, int64_t offset, int64_t length);

    // kRedirectLoop: redirect to this address instead of back to the one asked.
    void SetRedirectTarget(std::string location) { redirect_target_ = std::move(location); }
    // Requests without a Range line are answered honestly; the fault applies to ranged ones only
    // (a server that goes wrong only past the start of the file).
    void LieOnlyToRangedRequests(bool only) { ranged_only_ = only; }

    bool Start();
    void Stop();
    int32_t Port() const { return port_; }
    std::string Url(const std::string& path) const;

    // Requests read so far (each one's request line and Range value, "GET /f bytes=0-").
    std::vector<std::string> Requests() const;
    int RequestCount() const { return request_count_.load(); }
    int Accepted() const { return accepted_.load(); }
    // Body bytes handed to the kernel so far.
    int64_t BodyBytesSent() const { return body_bytes_.load(); }

  private:
    struct Connection;

    void AcceptLoop();
    void Serve(Connection& connection);
    // Answers one request; false when the connection is to end.
    bool Answer(Connection& connection, const std::string& request);
    // Sends the file's bytes [first, first + length), spoiled where the fault says.
    bool SendBody(Connection& connection, int64_t first, int64_t length, Fault fault);
    // Sends everything (bounded wait); false when the client has gone or the server stops.
    bool SendRaw(Connection& connection, std::string_view bytes, bool body);
    void JoinFinished(bool all);

    const std::string content_;
    const Fault fault_;
    int64_t garbage_period_ = 65536;
    int64_t garbage_offset_ = 1000;
    int64_t garbage_length_ = 1;
    bool ranged_only_ = false;
    std::string redirect_target_;

    int listen_fd_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> request_count_{0};
    std::atomic<int64_t> body_bytes_{0};
    std::thread accept_thread_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<std::string> requests_;
};

// The fault's name, for test names and messages.
const char* FaultName(LyingHttpServer::Fault fault);
inline void PrintTo(LyingHttpServer::Fault fault, std::ostream* out) {
    *out << FaultName(fault);
}

}  // namespace kf::test
