#include "support/ProxyServers.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Executable(const char* path) {
    return access(path, X_OK) == 0;
}

std::string Loopback(int32_t port, char separator) {
    return "127.0.0.1" + std::string(1, separator) + std::to_string(port);
}

}  // namespace

ProxyDaemon::~ProxyDaemon() {
    Stop();
}

bool ProxyDaemon::Launch(std::chrono::milliseconds timeout) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (LaunchOnce(timeout)) {
            return true;
        }
        Stop();
    }
    return false;
}

bool ProxyDaemon::LaunchOnce(std::chrono::milliseconds timeout) {
    dir_ = std::make_unique<TempDir>();
    port_ = FreeTcpPort();
    if (port_ == 0) {
        return false;
    }
    const std::vector<std::string> argv = Prepare(*dir_, port_);
    log_path_ = LogPath(*dir_);
    if (argv.empty() || !child_.Start(argv, *dir_ / "output.log")) {
        return false;
    }
    return child_.WaitForListener(port_, timeout);
}

std::string ProxyDaemon::LogText() const {
    if (dir_ == nullptr) {
        return {};
    }
    std::string text = ReadText(*dir_ / "output.log");
    if (log_path_ != *dir_ / "output.log") {
        text += ReadText(log_path_);
    }
    return text;
}

int32_t ProxyDaemon::CountLogLines(std::string_view needle) const {
    std::istringstream in(LogText());
    int32_t count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(needle) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

int32_t ProxyDaemon::CountLinesEndingWith(std::string_view tail, std::string_view containing,
                                          std::string_view also_containing) const {
    std::istringstream in(LogText());
    int32_t count = 0;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
            line.pop_back();
        }
        const std::string_view text(line);
        if (text.ends_with(tail) && text.find(containing) != std::string_view::npos &&
            text.find(also_containing) != std::string_view::npos) {
            ++count;
        }
    }
    return count;
}

void ProxyDaemon::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

std::string ProxyAddress(std::string_view scheme, int32_t port, std::string_view user,
                         std::string_view password) {
    std::string address = std::string(scheme) + "://";
    if (!user.empty()) {
        address += std::string(user) + ":" + std::string(password) + "@";
    }
    return address + Loopback(port, ':');
}

bool TinyproxyServer::Available() {
    return Executable(kBinary);
}

bool TinyproxyServer::Start(const std::string& user, const std::string& password,
                            std::chrono::milliseconds timeout) {
    user_ = user;
    password_ = password;
    return Available() && Launch(timeout);
}

std::vector<std::string> TinyproxyServer::Prepare(const TempDir& dir, int32_t port) {
    std::ostringstream config;
    // Info level logs every onward connection; Bind keeps them on loopback. Without ConnectPort
    // lines CONNECT may reach any port.
    config << "Port " << port << "\n"
           << "Listen 127.0.0.1\n"
           << "Bind 127.0.0.1\n"
           << "Timeout 30\n"
           << "MaxClients 32\n"
           << "Allow 127.0.0.1\n"
           << "DisableViaHeader Yes\n"
           << "LogFile \"" << LogPath(dir) << "\"\n"
           << "LogLevel Info\n";
    if (!user_.empty()) {
        config << "BasicAuth " << user_ << " " << password_ << "\n";
    }
    if (!WriteFile(dir / "tinyproxy.conf", config.str())) {
        return {};
    }
    return {kBinary, "-d", "-c", dir / "tinyproxy.conf"};
}

int32_t TinyproxyServer::TunnelsTo(int32_t port) const {
    // Logged only once the request was granted (after the authentication check).
    return CountLinesEndingWith("opening connection to " + Loopback(port, ':'));
}

int32_t TinyproxyServer::RequestsFor(int32_t port) const {
    return CountLogLines("CONNECT " + Loopback(port, ':') + " HTTP/");
}

bool MicrosocksServer::Available() {
    return Executable(kBinary);
}

bool MicrosocksServer::Start(const std::string& user, const std::string& password,
                             std::chrono::milliseconds timeout) {
    user_ = user;
    password_ = password;
    return Available() && Launch(timeout);
}

std::vector<std::string> MicrosocksServer::Prepare(const TempDir& /*dir*/, int32_t port) {
    // -b binds the onward connections to loopback.
    std::vector<std::string> argv = {kBinary, "-i",       "127.0.0.1", "-p", std::to_string(port),
                                     "-b",    "127.0.0.1"};
    if (!user_.empty()) {
        argv.insert(argv.end(), {"-u", user_, "-P", password_});
    }
    return argv;
}

int32_t MicrosocksServer::TunnelsTo(int32_t port) const {
    return CountLinesEndingWith("connected to " + Loopback(port, ':'));
}

bool DanteServer::Available() {
    return Executable(kBinary);
}

bool DanteServer::Start(Rule rule, std::chrono::milliseconds timeout) {
    rule_ = rule;
    return Available() && Launch(timeout);
}

std::vector<std::string> DanteServer::Prepare(const TempDir& dir, int32_t port) {
    std::ostringstream config;
    config << "logoutput: " << LogPath(dir) << "\n"
           << "internal: 127.0.0.1 port = " << port << "\n"
           << "external: 127.0.0.1\n"
           << "clientmethod: none\n"
           << "socksmethod: none\n"
           << "client pass {\n"
           << "    from: 127.0.0.1/32 to: 0.0.0.0/0\n"
           << "}\n";
    if (rule_ == Rule::kPassToLoopback) {
        config << "socks pass {\n"
               << "    from: 127.0.0.1/32 to: 127.0.0.1/32\n"
               << "    command: connect\n"
               << "    log: connect disconnect\n"
               << "}\n";
    } else {
        config << "socks block {\n"
               << "    from: 0.0.0.0/0 to: 0.0.0.0/0\n"
               << "    log: connect\n"
               << "}\n";
    }
    if (!WriteFile(dir / "danted.conf", config.str())) {
        return {};
    }
    // Without -D it stays in the foreground; its helper processes end with it.
    return {kBinary, "-f", dir / "danted.conf", "-p", dir / "danted.pid"};
}

int32_t DanteServer::TunnelsTo(int32_t port) const {
    // "pass(1): tcp/connect [: <client> <proxy> -> <onward> <target>" opens a session.
    return CountLinesEndingWith(" " + Loopback(port, '.'), "): tcp/connect [:", "pass(");
}

int32_t DanteServer::RefusalsFor(int32_t port) const {
    return CountLinesEndingWith(" " + Loopback(port, '.'), "): tcp/connect", "block(");
}

}  // namespace kf::test
