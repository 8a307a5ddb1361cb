#include "support/CollectorStub.h"

#include <json/reader.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace kf::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

CollectorStub::CollectorStub() : CollectorStub(Options{}) {}

CollectorStub::CollectorStub(Options options) {
    // By the source folder's absolute path: a compiler cache may leave __FILE__ relative.
    const std::string script = std::string(KF_TEST_SUPPORT_DIR) + "/collector_stub.py";
    std::vector<std::string> argv = {"/usr/bin/python3", script, "--log", dir_ / "posts.jsonl"};
    if (options.fail_first > 0) {
        argv.insert(argv.end(), {"--fail-first", std::to_string(options.fail_first)});
    }
    if (options.delay_seconds > 0) {
        argv.insert(argv.end(), {"--delay", std::to_string(options.delay_seconds)});
    }
    if (options.close) {
        argv.push_back("--close");
    }
    if (!process_.Start(argv, dir_ / "output.txt")) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && process_.IsRunning()) {
        const std::string output = ReadAll(dir_ / "output.txt");
        const size_t at = output.find("LISTENING 127.0.0.1:");
        if (at != std::string::npos && output.find('\n', at) != std::string::npos) {
            port_ = std::stoi(output.substr(at + 20));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

CollectorStub::~CollectorStub() {
    process_.Stop();
}

std::string CollectorStub::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<Json::Value> CollectorStub::Posts() const {
    std::vector<Json::Value> posts;
    std::istringstream lines(ReadAll(dir_ / "posts.jsonl"));
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    for (std::string line; std::getline(lines, line);) {
        Json::Value post;
        if (reader->parse(line.data(), line.data() + line.size(), &post, nullptr)) {
            posts.push_back(post);
        }
    }
    return posts;
}

std::vector<Json::Value> CollectorStub::WaitForPosts(size_t count,
                                                     std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Json::Value> posts = Posts();
    while (posts.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        posts = Posts();
    }
    return posts;
}

}  // namespace kf::test
