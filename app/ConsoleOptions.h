#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace kf::app {

// The kestrelfetch command line.
struct ConsoleOptions {
    enum class Verify { kAsk, kYes, kNo };
    // Exit codes, as kfget's.
    static constexpr int kDone = 0;
    static constexpr int kUsage = 1;
    static constexpr int kFailed = 2;
    static constexpr int kInterrupted = 130;

    bool console = false;
    std::string product_dir;  // --product DIR
    std::string save_dir;     // --save DIR: exactly where the three files go
    Verify verify = Verify::kAsk;
    bool no_install = false;
    bool help = false;

    // None for a usage error, with `error` saying what is wrong.
    static std::optional<ConsoleOptions> Parse(int argc, const char* const* argv,
                                               std::string* error);
    static void PrintHelp(FILE* out);
};

}  // namespace kf::app
