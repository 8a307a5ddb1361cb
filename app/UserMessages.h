#pragma once

#include <string>

namespace kf::app {

// Where the controller's messages to the user go: the console prints them, the window will show
// them in boxes of their own. Show never waits for the user (the design's ShowMessageAsync); the
// two questions the design asks with blocking boxes arrive as actions with their answer instead.
//
// Threads: called on the controller thread; an implementation that prints keeps its own lock.
class UserMessages {
  public:
    // The caption of every box that names no other.
    static constexpr const char* kTitle = "Vormhal下载器";

    virtual ~UserMessages() = default;
    virtual void Show(const std::string& text, const std::string& caption) = 0;
};

}  // namespace kf::app
