#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "engine/kestrelfetch.h"

namespace kfget {

// kfget's standard error: the progress display (one redrawn line on a terminal, else one plain
// line per second) and the lines of the engine's notices, which arrive on engine threads. One
// lock keeps a notice from landing inside a progress line.
class KfgetConsole {
  public:
    KfgetConsole(bool quiet, bool notices);

    // Shows progress; without `force` at most every 200 ms (terminal) or 1 s.
    void Show(const TaskInfoEx& info, bool force);
    // Ends the progress line, so that what follows starts on a line of its own.
    void Finish();
    // One line "kfget: <text>", after ending a progress line in the way.
    void Line(const std::string& text);

    // The engine's notice callback; `context` is the console.
    static void OnNotice(void* context, const KfNotice* notice);
    // What kfget says of a notice.
    static std::string NoticeText(const KfNotice& notice);

  private:
    void EndProgressLine();

    std::mutex mutex_;
    const bool quiet_;
    const bool terminal_;
    const bool notices_;
    bool line_open_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace kfget
