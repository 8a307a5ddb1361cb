#pragma once

#include "app/DownloadState.h"

namespace kf::app {

// The main window's buttons as the controller decides them. Start, pause, continue and install
// share one place; change sits beside the save folder and view opens it. The window only shows
// what this says.
//
// Value object; the controller thread updates it when the state or low_space changes, and each
// snapshot carries a copy.
class ButtonPanel {
  public:
    struct Button {
        bool shown = false;
        bool enabled = true;
        bool operator==(const Button&) const = default;
    };

    Button start;
    Button pause;
    Button resume;  // "继续"
    Button install;
    Button change;  // "修改": choose another save folder
    Button view;    // "查看": open the save folder

    // At start: the start button when nothing was reloaded, else the pause button.
    void Initial(bool reloaded);
    // The buttons of `state`; the states the window's table does not name (ready among them)
    // leave them as they are.
    void Apply(DownloadState state, bool low_space);

    bool operator==(const ButtonPanel&) const = default;
};

}  // namespace kf::app
