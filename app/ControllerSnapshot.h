#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/ButtonPanel.h"
#include "app/DownloadState.h"

namespace kf::app {

// A question the controller waits for; the answer comes back as an action.
enum class Question {
    kNone,
    kVerify,       // "是否验证安装文件的正确性？" → action::VerifyAnswer
    kCloseChoice,  // the exit dialog → action::CloseChoice
};

// Everything the window and the console show, as the controller thread published it after a
// tick or an action. Immutable once published; readers hold it by shared pointer.
struct ControllerSnapshot {
    struct Row {
        std::string name;     // the file name ("Name" column)
        std::string percent;  // the "Percent" column text, trailing spaces included
    };

    uint64_t sequence = 0;
    uint64_t status_ticks = 0;  // 100 ms ticks run
    uint64_t second_ticks = 0;  // 1 s ticks run
    uint64_t user_actions = 0;  // user actions handled
    int32_t init_result = 0;    // the start-up's answer: -2, -1, 0 or 1
    bool ended = false;         // the controller has cleaned up; nothing follows

    DownloadState state = DownloadState::kReady;
    std::string state_name;
    bool low_space = false;

    // The window's texts, formatted.
    std::string result_line;  // finished, checkfinished and installing only; else empty
    std::string speed_line;   // every other state
    std::string progress_label;
    std::string percentage;
    std::string game_version;  // "游戏版本: v122.42.51"
    std::string size_line;     // downloaded "/" total
    std::string folder_line;   // "保存位置:" and the save folder
    std::string save_folder;
    std::array<Row, 3> rows;

    // Bars in hundredths of a percent.
    int32_t overall_progress = 0;
    int32_t verify_progress = 0;
    bool verify_bar = false;  // md5checking, checkrecover, checkfinished, installing

    ButtonPanel buttons;
    Question question = Question::kNone;
    std::string question_text;
    int32_t shutdown_seconds = -1;  // seconds until the machine powers off; -1: none asked
    bool in_tray = false;

    int32_t speed_limit = 0;
    bool auto_shutdown = false;
    bool p2p_enabled = false;

    // Figures for a progress line.
    int64_t downloaded_bytes = 0;
    int64_t total_bytes = 0;
    uint32_t speed = 0;

    // How it ends.
    bool exit_requested = false;
    bool user_exit = false;
    bool installer_launched = false;
    bool all_verified = false;    // the three files passed their MD5 check
    bool repair_error = false;    // a repair could not go on
    bool install_failed = false;  // the installer is missing or did not start
    bool expired = false;         // the maker withdrew this downloader
};

}  // namespace kf::app
