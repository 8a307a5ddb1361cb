#include "support/ScriptedFtpServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

namespace kf::test {

namespace {

constexpr auto kTransferWait = std::chrono::seconds(20);
constexpr int kMaxCommands = 500;

}  // namespace

ScriptedFtpServer::ScriptedFtpServer(std::string content, Options options)
    : content_(std::move(content)),
      options_(std::move(options)),
      control_([this](ServerConnection& c) { Control(c); }),
      data_([this](ServerConnection& c) { Data(c); }) {}

ScriptedFtpServer::~ScriptedFtpServer() {
    Stop();
}

bool ScriptedFtpServer::Start() {
    return data_.Start() && control_.Start();
}

void ScriptedFtpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    control_.Stop();
    data_.Stop();
}

std::string ScriptedFtpServer::Url(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(Port()) + path;
}

bool ScriptedFtpServer::Reply(ServerConnection& connection, const std::string& bytes) {
    return connection.SendInPieces(bytes, options_.reply_piece);
}

void ScriptedFtpServer::Finish(Outcome outcome) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_ = outcome;
    }
    changed_.notify_all();
}

void ScriptedFtpServer::Control(ServerConnection& c) {
    if (!Reply(c, options_.welcome)) {
        return;
    }
    int64_t rest = 0;
    for (int i = 0; i < kMaxCommands && !c.Stopping(); ++i) {
        std::string line = c.ReadUntil("\r\n", std::chrono::seconds(30));
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            return;  // the client went, or said nothing for too long
        }
        line.resize(line.size() - 2);
        control_.Record(line);
        const size_t space = line.find(' ');
        std::string verb = line.substr(0, space);
        std::transform(verb.begin(), verb.end(), verb.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);

        if (const auto found = options_.replies.find(verb); found != options_.replies.end()) {
            if (!Reply(c, found->second)) {
                return;
            }
            continue;
        }
        std::string answer;
        if (verb == "user") {
            answer = options_.password_asked ? "331 Password required.\r\n" : "230 Logged in.\r\n";
        } else if (verb == "pass") {
            answer = "230 Login successful.\r\n";
        } else if (verb == "cwd") {
            answer = "250 Directory changed.\r\n";
        } else if (verb == "type") {
            answer = "200 Type set to I.\r\n";
        } else if (verb == "size") {
            const int64_t size =
                options_.size >= 0 ? options_.size : static_cast<int64_t>(content_.size());
            answer = "213 " + std::to_string(size) + "\r\n";
        } else if (verb == "pasv") {
            const int32_t port = options_.pasv_port != 0 ? options_.pasv_port : DataPort();
            answer = "227 Entering Passive Mode (" + options_.pasv_host + "," +
                     std::to_string(port / 256) + "," + std::to_string(port % 256) + ").\r\n";
        } else if (verb == "rest") {
            rest = std::stoll(argument);
            answer = "350 Restarting at " + argument + ".\r\n";
        } else if (verb == "retr") {
            if (!Transfer(c, rest)) {
                return;
            }
            rest = 0;
            continue;
        } else if (verb == "quit") {
            Reply(c, "221 Goodbye.\r\n");
            return;
        } else {
            answer = "502 Command not implemented.\r\n";
        }
        if (!Reply(c, answer)) {
            return;
        }
    }
}

bool ScriptedFtpServer::Transfer(ServerConnection& c, int64_t offset) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retr_pending_ = true;
        retr_offset_ = offset;
        outcome_ = Outcome::kNone;
    }
    changed_.notify_all();
    if (!Reply(c, "150 Opening BINARY mode data connection.\r\n")) {
        return false;
    }
    Outcome outcome = Outcome::kNone;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kTransferWait,
                          [this] { return stopping_ || outcome_ != Outcome::kNone; });
        outcome = outcome_;
    }
    switch (outcome) {
        case Outcome::kComplete:
            return Reply(c, "226 Transfer complete.\r\n");
        case Outcome::kAborted:
        case Outcome::kNone:
            aborts_.fetch_add(1);
            return Reply(c, "426 Connection closed; transfer aborted.\r\n");
        case Outcome::kCut:
            Reply(c, "421 Service not available, closing control connection.\r\n");
            c.Close();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                control_gone_ = true;
            }
            changed_.notify_all();
            return false;
    }
    return false;
}

void ScriptedFtpServer::Data(ServerConnection& c) {
    data_connections_.fetch_add(1);
    int64_t offset = 0;
    bool first = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, kTransferWait,
                               [this] { return stopping_ || retr_pending_; }) ||
            stopping_) {
            return;
        }
        retr_pending_ = false;
        offset = retr_offset_;
        first = transfers_++ == 0;
    }
    if (options_.stall_data) {
        c.WaitForClientClose(std::chrono::seconds(30));
        Finish(Outcome::kAborted);
        return;
    }
    std::string part = content_.substr(
        static_cast<size_t>(std::min<int64_t>(offset, static_cast<int64_t>(content_.size()))));
    if (first && options_.cut_after >= 0) {
        part.resize(std::min(part.size(), static_cast<size_t>(options_.cut_after)));
        c.SendInPieces(part, options_.data_piece);
        Finish(Outcome::kCut);
        // The data connection closes only after the control side said 421.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kTransferWait, [this] { return stopping_ || control_gone_; });
        return;
    }
    if (options_.truncate_after >= 0) {
        part.resize(std::min(part.size(), static_cast<size_t>(options_.truncate_after)));
    }
    const bool sent = c.SendInPieces(part, options_.data_piece);
    c.Close();
    Finish(sent ? Outcome::kComplete : Outcome::kAborted);
}

}  // namespace kf::test
