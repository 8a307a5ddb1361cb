#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kf::test {

// A child process started by a test (a server on loopback, a tool). Its output goes to a file.
// The destructor ends it (TERM, then KILL after a bounded wait) if it still runs; only this
// process is ever signalled, by its PID.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `argv[0]` (a path, no PATH search) with the arguments; stdout and stderr are appended
    // to `output_path` (/dev/null when empty). `input_fd` >= 0 becomes its stdin (the caller keeps
    // and closes its own copy); otherwise it shares the test's. False when it could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& output_path = "",
               int input_fd = -1);
    pid_t Pid() const { return pid_; }
    // True while it has not exited (reaps it when it has).
    bool IsRunning();
    // Waits at most `timeout` for it to exit; its exit code (128 + signal when killed), or -1 when
    // it still runs.
    int WaitExit(std::chrono::milliseconds timeout);
    // TERM, wait at most `grace`, then KILL and reap. Answers the exit code as WaitExit.
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));
    // Waits at most `timeout` until a server started as this child accepts on 127.0.0.1:`port`.
    // False at the time-out or as soon as it exits (most often: another process took the port).
    bool WaitForListener(int32_t port, std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int exit_code_ = -1;
};

// Runs a program to its end, bounded by `timeout` (killed beyond it). Its exit code, or -1 when
// it could not be started or had to be killed.
int RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               const std::string& output_path = "");

}  // namespace kf::test
