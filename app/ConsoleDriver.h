#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/ConsoleOptions.h"
#include "app/ControllerAction.h"
#include "app/ControllerSnapshot.h"

namespace kf::app {

// What the console does with each snapshot, as a user at the window would: start the
// download, ask for the verification when it is finished, answer the question as the command
// line says, and decide when the run is over and with which exit code. Pure: no I/O, no
// threads; it waits until the controller has handled its earlier actions before it acts again.
class ConsoleDriver {
  public:
    struct Step {
        std::vector<ControllerAction> post;
        bool ask_verify = false;  // the front end asks the user, then calls Answer
        std::string note;         // a line for the user, when not empty
        std::optional<int> exit_code;
    };

    ConsoleDriver(ConsoleOptions::Verify verify, bool no_install)
        : verify_(verify), no_install_(no_install) {}

    Step Next(const ControllerSnapshot& snapshot);
    // The actions that answer the verify question: none when the answer is no and nothing is to
    // be installed (the complete files are then all that was asked for).
    std::vector<ControllerAction> Answer(bool verify);

  private:
    Step Post(ControllerAction action);

    ConsoleOptions::Verify verify_;  // an answer "no" asked on the input becomes kNo
    bool no_install_;
    uint64_t posted_ = 0;
    bool started_ = false;
    bool finished_pressed_ = false;
    bool asked_ = false;
    bool waiting_for_space_ = false;
};

}  // namespace kf::app
