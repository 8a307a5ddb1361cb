#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/ConsoleDriver.h"
#include "app/ConsoleOptions.h"
#include "app/ControllerSnapshot.h"
#include "app/UserMessages.h"

namespace kf::app {

class ControllerThread;

// The downloader in a terminal: the controller's messages and state changes as lines, a
// progress line (redrawn on a terminal, one a second otherwise), the verify question asked on
// the input when the command line does not answer it, and the exit code.
//
// Threads: Show is called on the controller thread, Run on the main thread; one lock keeps a
// message from landing inside the progress line.
class ConsoleFrontend final : public UserMessages {
  public:
    ConsoleFrontend(const ConsoleOptions& options, FILE* out, FILE* in);

    void Show(const std::string& text, const std::string& caption) override;

    // Drives `thread` until the controller has ended; `interrupted` (set by SIGINT or SIGTERM)
    // asks for an orderly exit. Answers the exit code.
    int Run(ControllerThread& thread, const std::atomic<bool>& interrupted);

  private:
    void Progress(const ControllerSnapshot& snapshot);
    void Line(const std::string& text);
    void EndProgressLine();
    // Reads the answer to the verify question; true (verify) at the end of the input.
    bool AskVerify(const std::string& question, const std::atomic<bool>& interrupted);

    ConsoleDriver driver_;
    FILE* out_;
    FILE* in_;
    const bool terminal_;
    std::mutex mutex_;
    bool line_open_ = false;
    std::chrono::steady_clock::time_point last_drawn_{};
    uint64_t last_second_ = 0;
    std::string last_state_;
};

}  // namespace kf::app
