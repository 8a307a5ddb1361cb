#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// A private nginx serving a folder over HTTP on 127.0.0.1 (ranges, 206 answers, keep-alive), for
// tests that need a real server; StartTls serves it over HTTPS instead. Under "/chunked/" it
// serves the same files without a length, in chunked transfer coding (and without ranges), and
// "/moved/<path>" answers with a redirect (302) to "/<path>". Its configuration, pid file, logs and
// temporary folders live in a fresh temporary folder; nothing under /etc or /var is used. The
// process is started as a child of the test (daemon off) and ended by its PID.
//
//   NginxServer nginx;
//   ASSERT_TRUE(nginx.Start(www.Path()));
//   ... http://127.0.0.1:<nginx.Port()>/file.bin ...
//   nginx.Stop();  // also done by the destructor
class NginxServer {
  public:
    static constexpr const char* kDefaultBinary = "/usr/sbin/nginx";

    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // True when nginx is installed where the tests expect it.
    static bool Available(const std::string& binary = kDefaultBinary);

    // Serves `root_dir` on a free port and waits (at most `timeout`) until the port accepts. When
    // run as root the workers run as root too, so the folder need not be world-readable.
    bool Start(const std::string& root_dir,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // The same over HTTPS with the given certificate chain and key (PEM files).
    bool StartTls(const std::string& root_dir, const std::string& certificate,
                  const std::string& key,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    int32_t Port() const { return port_; }
    // "http://127.0.0.1:<port>" (https:// after StartTls) followed by `path` (which begins with
    // "/").
    std::string Url(const std::string& path) const;
    // The error log, for messages when a test fails.
    std::string ErrorLogText() const;
    void Stop();
    bool IsRunning() { return child_.IsRunning(); }

  private:
    bool StartOnce(const std::string& root_dir, std::chrono::milliseconds timeout);

    std::string certificate_;  // with key_: serve HTTPS
    std::string key_;
    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    int32_t port_ = 0;
};

}  // namespace kf::test
