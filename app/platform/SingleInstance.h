#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kf::app {

// One downloader per data folder. The first instance holds an flock on
// "<data_folder>/instance.lock" (its PID written in it) and listens on the Unix socket
// "<data_folder>/instance.sock"; a later instance sends "show" there and ends once the first
// answers (within 1000 ms). A first instance that does not answer is ended with SIGKILL, but only
// when /proc/<pid>/exe is this program; then the later instance takes over (waiting at most 2 s
// for the lock to fall).
//
// Claim creates the data folder when missing and answers:
//   kFirst      this process is the only instance; the object holds the claim (lock, socket and
//               the listener thread) until it is destroyed;
//   kOtherShown the first instance answered: it has run its `on_show`; this process should end;
//   kFailed     no claim: the folder or the lock cannot be used, no socket can be listened on, or
//               the holder does not answer and is not this program (another program's process is
//               never signalled). The result is null except for kFirst.
// Threads: Claim and the destructor on one thread; `on_show` runs on the listener's thread each
// time a later instance asks, before the answer is sent. The socket is reached through the
// folder's descriptor, so a long data folder path does not matter.
class SingleInstance {
  public:
    enum class Outcome { kFirst, kOtherShown, kFailed };

    static std::unique_ptr<SingleInstance> Claim(const std::string& data_folder,
                                                 std::function<void()> on_show, Outcome* outcome);
    virtual ~SingleInstance() = default;
};

}  // namespace kf::app
