#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/ScriptedServer.h"

namespace kf::test {

// A scripted FTP server on 127.0.0.1 for peer tests: a control port and a passive data port, each
// a ScriptedServer (one connection at a time). It serves `content` to a client that speaks the
// passive dialogue (USER, PASS, CWD, TYPE, SIZE, PASV, REST, RETR) and misbehaves as the options
// say. Every wait is bounded and ends when the server stops.
//
// A transfer: RETR is answered with 150 and hands the REST offset to the data side, which sends
// the content from there and closes; the control side then answers 226, or 426 when the client
// closed the data connection first.
class ScriptedFtpServer {
  public:
    struct Options {
        std::string welcome = "220 scripted server ready\r\n";
        bool password_asked = true;  // USER answers 331 (else 230 at once)
        int64_t size = -1;           // the SIZE answer; -1: the content's size
        std::string pasv_host = "127,0,0,1";
        int32_t pasv_port = 0;      // the port PASV names; 0: the data port
        size_t reply_piece = 4096;  // replies leave in pieces of this many bytes
        size_t data_piece = 8192;
        int64_t cut_after = -1;  // the first transfer stops after this many bytes: 421, both close
        int64_t truncate_after = -1;  // every transfer ends after this many bytes (then 226)
        bool stall_data = false;      // data connections are accepted and get nothing
        // Replies that replace the usual answer to a command (lower-case verb → exact bytes).
        std::map<std::string, std::string> replies;
    };

    ScriptedFtpServer(std::string content, Options options);
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    bool Start();
    void Stop();
    int32_t Port() const { return control_.Port(); }
    int32_t DataPort() const { return data_.Port(); }
    // "ftp://127.0.0.1:<port>" followed by `path`.
    std::string Url(const std::string& path) const;
    // The command lines received on the control connections, without their line ends.
    std::vector<std::string> Commands() const { return control_.Recorded(); }
    int DataConnections() const { return data_connections_.load(); }
    int ControlConnections() const { return control_.Accepted(); }
    // Transfers answered with 426 because the client closed the data connection first.
    int Aborts() const { return aborts_.load(); }

  private:
    enum class Outcome { kNone, kComplete, kAborted, kCut };

    void Control(ServerConnection& connection);
    void Data(ServerConnection& connection);
    bool Reply(ServerConnection& connection, const std::string& bytes);
    // Answers RETR: hands the transfer to the data side and waits for its end.
    bool Transfer(ServerConnection& connection, int64_t offset);
    void Finish(Outcome outcome);

    const std::string content_;
    const Options options_;
    ScriptedServer control_;
    ScriptedServer data_;
    std::atomic<int> data_connections_{0};
    std::atomic<int> aborts_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool retr_pending_ = false;
    int64_t retr_offset_ = 0;
    int transfers_ = 0;
    Outcome outcome_ = Outcome::kNone;
    bool control_gone_ = false;  // the control side has answered a cut and closed
};

}  // namespace kf::test
