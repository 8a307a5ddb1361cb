#include "app/ConsoleDriver.h"

namespace kf::app {

ConsoleDriver::Step ConsoleDriver::Post(ControllerAction action) {
    Step step;
    step.post.push_back(std::move(action));
    ++posted_;
    return step;
}

std::vector<ControllerAction> ConsoleDriver::Answer(bool verify) {
    if (!verify && no_install_) {
        verify_ = ConsoleOptions::Verify::kNo;
        return {};
    }
    ++posted_;
    return {action::VerifyAnswer{verify, !no_install_}};
}

ConsoleDriver::Step ConsoleDriver::Next(const ControllerSnapshot& snapshot) {
    Step step;
    const bool done =
        snapshot.installer_launched ||
        (no_install_ && (snapshot.all_verified || (verify_ == ConsoleOptions::Verify::kNo &&
                                                   snapshot.state == DownloadState::kFinished)));
    if (snapshot.ended || snapshot.installer_launched) {
        // The controller ended by itself: after starting the installer, or because it could not
        // go on (start-up failed, the downloader was withdrawn).
        if (snapshot.ended) {
            step.exit_code = done ? ConsoleOptions::kDone : ConsoleOptions::kFailed;
        }
        return step;
    }
    if (snapshot.init_result < 0 || snapshot.state == DownloadState::kFailed ||
        snapshot.repair_error || snapshot.install_failed || snapshot.expired) {
        step.exit_code = ConsoleOptions::kFailed;
        return step;
    }
    if (done) {
        step.exit_code = ConsoleOptions::kDone;
        return step;
    }
    if (snapshot.user_actions < posted_) {
        return step;  // the last action is still in the queue
    }
    switch (snapshot.state) {
        case DownloadState::kReady:
        case DownloadState::kBack:
            if (started_) {
                // The start was refused: too little space, or the engine did not start.
                step.exit_code = ConsoleOptions::kFailed;
                return step;
            }
            started_ = true;
            return Post(action::MainAction{});
        case DownloadState::kPause:
            // Paused for want of space: the controller clears low_space once there is room
            // again, and the user at the window would press continue then.
            if (snapshot.low_space) {
                if (!waiting_for_space_) {
                    waiting_for_space_ = true;
                    step.note = "waiting for free space in the save folder; ^C ends the wait";
                }
                return step;
            }
            if (waiting_for_space_) {
                waiting_for_space_ = false;
                step = Post(action::MainAction{});
                step.note = "there is space again: the download goes on";
                return step;
            }
            // Nothing else here pauses: the download stopped on an error it has reported.
            step.exit_code = ConsoleOptions::kFailed;
            return step;
        case DownloadState::kFinished:
            if (snapshot.question == Question::kVerify) {
                if (verify_ == ConsoleOptions::Verify::kAsk) {
                    if (!asked_) {
                        asked_ = true;
                        step.ask_verify = true;
                    }
                    return step;
                }
                step.post = Answer(verify_ == ConsoleOptions::Verify::kYes);
                return step;
            }
            if (!finished_pressed_) {
                finished_pressed_ = true;
                return Post(action::MainAction{});
            }
            // Pressed and answered, yet nothing runs: the check could not be started.
            step.exit_code = ConsoleOptions::kFailed;
            return step;
        default:
            return step;
    }
}

}  // namespace kf::app
