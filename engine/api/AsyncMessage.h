#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kf {

// Shows a message to the user on a thread of its own, so that the caller never waits for the user.
// While the report uploader runs, the text ends with the machine id (see ShowMessageAsync).
// Until a window system attaches a presenter, messages go to the engine log (channel 34) and
// stderr.
class AsyncMessage {
  public:
    using Presenter = std::function<void(void* owner, const std::string& text,
                                         const std::string& caption, uint32_t type)>;

    // Answers 1 when the message thread took its arguments within 2000 ms, else 0.
    static int32_t Show(void* owner, const char* text, const char* caption, uint32_t type);
    static void SetPresenter(Presenter presenter);
    // Waits for every message thread (clean-up at exit).
    static void JoinAll();
};

}  // namespace kf
