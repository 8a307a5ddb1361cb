#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kf::test {

// The collection-service stub (collector_stub.py) as a child process on 127.0.0.1. Each post it
// received is one JSON value: n, path, body, fields, records [{code, info, keys}], errors.
class CollectorStub {
  public:
    struct Options {
        int fail_first = 0;
        double delay_seconds = 0;
        bool close = false;
    };

    // Starts the stub and waits (at most 10 s) until it listens; check Port() != 0.
    CollectorStub();
    explicit CollectorStub(Options options);
    ~CollectorStub();

    int32_t Port() const { return port_; }
    // "http://127.0.0.1:PORT" + path.
    std::string Url(const std::string& path = "/submit") const;
    std::vector<Json::Value> Posts() const;
    // Waits at most `timeout` until at least `count` posts arrived; answers the posts.
    std::vector<Json::Value> WaitForPosts(size_t count, std::chrono::milliseconds timeout) const;

  private:
    TempDir dir_;
    ChildProcess process_;
    int32_t port_ = 0;
};

}  // namespace kf::test
