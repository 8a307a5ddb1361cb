#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// A private pyftpdlib FTP server serving a folder read-only on 127.0.0.1 (passive mode only, with
// its own range of passive ports), for tests that need a real FTP server. It runs as a child of
// the test under the system Python (the Python first on PATH may lack the Debian module) and is
// ended by its PID. Its debug log (every command and reply) is kept in a fresh temporary folder.
//
//   FtpServer ftp;
//   ASSERT_TRUE(ftp.Start(dir.Path()));
//   ... ftp://127.0.0.1:<ftp.Port()>/file.bin ...
//   ftp.Stop();  // also done by the destructor
class FtpServer {
  public:
    static constexpr const char* kPython = "/usr/bin/python3";
    static constexpr int32_t kPassivePorts = 20;

    FtpServer() = default;
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // True when the system Python can load pyftpdlib (scripts/install-deps installs it).
    static bool Available();

    // Serves `root_dir` on a free port and waits (at most `timeout`) until the port accepts.
    // Anonymous log-in unless `user` is given (then only `user` with `password`).
    bool Start(const std::string& root_dir, const std::string& user = "",
               const std::string& password = "",
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    int32_t Port() const { return port_; }
    // "ftp://127.0.0.1:<port>" followed by `path` (which begins with "/").
    std::string Url(const std::string& path) const;
    // What the server logged (its commands and transfers), for checks and failure messages.
    std::string LogText() const;
    void Stop();
    bool IsRunning() { return child_.IsRunning(); }

  private:
    bool StartOnce(const std::string& root_dir, const std::string& user,
                   const std::string& password, std::chrono::milliseconds timeout);

    std::unique_ptr<TempDir> dir_;
    ChildProcess child_;
    int32_t port_ = 0;
};

}  // namespace kf::test
