#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/platform/ResourceList.h"

namespace kf::app {

// What a fetch of the resource list brought: the P2P switch, the expiry notice and the mirrors of
// each file (those of resources the request said to skip left out).
struct ResourceListReading {
    bool p2p_on = false;
    ResourceList::Expiry expiry;
    std::array<std::vector<ResourceList::Mirror>, 3> mirrors;
};

// What the controller asks its thread to run on a worker: the MD5 of one file...
struct DigestRequest {
    uint64_t generation = 0;  // echoed in the answers, so that late ones can be told apart
    std::string path;
};

// ... and one fetch of the resource list.
struct FetchRequest {
    enum class Kind { kExpiry, kMirrors };
    Kind kind = Kind::kMirrors;
    int timeout_seconds = 0;
    int verify_index = -1;
    std::array<bool, 3> complete{};
};

// The actions the controller thread takes from its queue: the user's (from the window or the
// console) and the workers' answers.
namespace action {

struct MainAction {};  // start, pause, continue or install, by state
struct VerifyAnswer {
    bool verify = false;        // the answer to "是否验证安装文件的正确性？"
    bool install_after = true;  // start the installer once all files passed
};
struct CloseWindow {};
struct CloseChoice {
    int choice = 0;  // 1 to the tray, 2 exit, anything else: the dialog was dismissed
    bool remember = false;
};
struct RestoreFromTray {};
struct ExitFromTray {};
struct SpeedLimit {
    int32_t kib_per_second = 0;  // 0: none, else 10..30000
};
struct AutoShutdown {
    bool on = false;
};
struct CancelShutdown {};
struct P2P {
    bool on = false;
};
struct ChangeSaveFolder {
    std::string chosen;  // the folder the user picked; the save folder becomes chosen/GD4251
};
struct ShowSaveFolder {};
struct Exit {
    bool user = false;  // the user asked (close choice, ^C); else an unexplained end
};

struct DigestProgress {
    uint64_t generation = 0;
    int32_t progress = 0;
};
struct DigestDone {
    uint64_t generation = 0;
    std::string digest;  // empty: the file could not be read
};
struct ResourceListDone {
    FetchRequest::Kind kind = FetchRequest::Kind::kMirrors;
    bool fetched = false;
    std::string error;
    std::optional<ResourceListReading> reading;  // none: not a usable resource list
};

}  // namespace action

using ControllerAction =
    std::variant<action::MainAction, action::VerifyAnswer, action::CloseWindow, action::CloseChoice,
                 action::RestoreFromTray, action::ExitFromTray, action::SpeedLimit,
                 action::AutoShutdown, action::CancelShutdown, action::P2P,
                 action::ChangeSaveFolder, action::ShowSaveFolder, action::Exit,
                 action::DigestProgress, action::DigestDone, action::ResourceListDone>;

// The workers' answers are not the user's: the console counts only its own actions.
inline bool IsUserAction(const ControllerAction& action) {
    return !std::holds_alternative<action::DigestProgress>(action) &&
           !std::holds_alternative<action::DigestDone>(action) &&
           !std::holds_alternative<action::ResourceListDone>(action);
}

}  // namespace kf::app
