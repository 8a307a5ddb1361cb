#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kf::app {

// One downloader per data folder. The first instance holds an flock on
// "<data_folder>/instance.lock" (its PID written in it) and listens on the Unix socket
// "<data_folder>/instance.sock"; a later instance sends "show" there and ends once the first
// answers (within 1000 ms). A first instance that does not answer is ended with SIGKILL, but only
// when /proc/<pid>/exe is this program; then the later instance takes over.
class SingleInstance {
  public:
    enum class Outcome { kFirst, kOtherShown, kFailed };

    // `on_show` runs on the listener's thread each time a later instance asks.
    static std::unique_ptr<SingleInstance> Claim(const std::string& data_folder,
                                                 std::function<void()> on_show, Outcome* outcome);
    virtual ~SingleInstance() = default;
};

}  // namespace kf::app
