#include "support/NginxServer.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "support/ContentFiles.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

std::string Config(const std::string& dir, const std::string& root, int32_t port,
                   const std::string& certificate, const std::string& key) {
    std::ostringstream out;
    out << "daemon off;\n"
        << "worker_processes 1;\n";
    if (geteuid() == 0) {
        // The default worker user (nobody) could not read a test's private folders.
        out << "user root;\n";
    }
    out << "pid " << dir << "/nginx.pid;\n"
        << "error_log " << dir << "/error.log warn;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n"
        << "    access_log " << dir << "/access.log;\n"
        << "    client_body_temp_path " << dir << "/tmp/body;\n"
        << "    proxy_temp_path " << dir << "/tmp/proxy;\n"
        << "    fastcgi_temp_path " << dir << "/tmp/fastcgi;\n"
        << "    uwsgi_temp_path " << dir << "/tmp/uwsgi;\n"
        << "    scgi_temp_path " << dir << "/tmp/scgi;\n"
        << "    default_type application/octet-stream;\n"
        << "    sendfile on;\n"
        << "    server {\n"
        << "        listen 127.0.0.1:" << port << (certificate.empty() ? "" : " ssl") << ";\n";
    if (!certificate.empty()) {
        out << "        ssl_certificate " << certificate << ";\n"
            << "        ssl_certificate_key " << key << ";\n";
    }
    out << "        root " << root
        << ";\n"
        // The same files sent chunked: a body filter drops the length, as a script would.
        << "        location /chunked/ {\n"
        << "            alias " << root << "/;\n"
        << "            sub_filter_types *;\n"
        << "            sub_filter kf-text-that-never-occurs \"\";\n"
        << "        }\n"
        << "        location /moved/ {\n"
        << "            rewrite ^/moved/(.*)$ /$1 redirect;\n"
        << "        }\n"
        << "    }\n"
        << "}\n";
    return out.str();
}

}  // namespace

NginxServer::~NginxServer() {
    Stop();
}

bool NginxServer::Available(const std::string& binary) {
    return access(binary.c_str(), X_OK) == 0;
}

bool NginxServer::Start(const std::string& root_dir, std::chrono::milliseconds timeout) {
    // The free port may be taken between the probe and nginx's bind: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StartOnce(root_dir, timeout)) {
            return true;
        }
        Stop();
    }
    return false;
}

bool NginxServer::StartTls(const std::string& root_dir, const std::string& certificate,
                           const std::string& key, std::chrono::milliseconds timeout) {
    certificate_ = certificate;
    key_ = key;
    return Start(root_dir, timeout);
}

bool NginxServer::StartOnce(const std::string& root_dir, std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    std::error_code ignored;
    std::filesystem::create_directories(dir_->Path() + "/tmp", ignored);
    port_ = FreeTcpPort();
    if (port_ == 0) {
        return false;
    }
    const std::string absolute_root = std::filesystem::absolute(root_dir).string();
    if (!WriteFile(*dir_ / "nginx.conf",
                   Config(dir_->Path(), absolute_root, port_, certificate_, key_))) {
        return false;
    }
    if (!child_.Start({kDefaultBinary, "-p", dir_->Path(), "-e", *dir_ / "error.log", "-c",
                       *dir_ / "nginx.conf"},
                      *dir_ / "stdout.log")) {
        return false;
    }
    return child_.WaitForListener(port_, timeout);
}

std::string NginxServer::Url(const std::string& path) const {
    return (certificate_.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           std::to_string(port_) + path;
}

std::string NginxServer::ErrorLogText() const {
    if (dir_ == nullptr) {
        return {};
    }
    return ReadWholeFile(*dir_ / "error.log");
}

void NginxServer::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

}  // namespace kf::test
