#include "support/FtpServer.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "support/ContentFiles.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

FtpServer::~FtpServer() {
    Stop();
}

bool FtpServer::Available() {
    if (access(kPython, X_OK) != 0) {
        return false;
    }
    return RunProgram({kPython, "-c", "import pyftpdlib"}, std::chrono::milliseconds(10000)) == 0;
}

bool FtpServer::Start(const std::string& root_dir, const std::string& user,
                      const std::string& password, std::chrono::milliseconds timeout) {
    // The free port may be taken between the probe and the server's bind: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StartOnce(root_dir, user, password, timeout)) {
            return true;
        }
        Stop();
    }
    return false;
}

bool FtpServer::StartOnce(const std::string& root_dir, const std::string& user,
                          const std::string& password, std::chrono::milliseconds timeout) {
    dir_ = std::make_unique<TempDir>();
    port_ = FreeTcpPort();
    const int32_t passive_low = FreeTcpPort();
    if (port_ == 0 || passive_low == 0) {
        return false;
    }
    // A port of the range that is taken when a transfer starts is skipped by the server.
    const int32_t passive_high = std::min(passive_low + kPassivePorts - 1, 65535);
    std::vector<std::string> argv = {
        kPython,     "-m",
        "pyftpdlib", "-D",
        "-i",        "127.0.0.1",
        "-p",        std::to_string(port_),
        "-d",        std::filesystem::absolute(root_dir).string(),
        "-r",        std::to_string(passive_low) + "-" + std::to_string(passive_high)};
    if (!user.empty()) {
        argv.insert(argv.end(), {"-u", user, "-P", password});
    }
    if (!child_.Start(argv, *dir_ / "ftp.log")) {
        return false;
    }
    return child_.WaitForListener(port_, timeout);
}

std::string FtpServer::Url(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(port_) + path;
}

std::string FtpServer::LogText() const {
    if (dir_ == nullptr) {
        return {};
    }
    return ReadWholeFile(*dir_ / "ftp.log");
}

void FtpServer::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

}  // namespace kf::test
