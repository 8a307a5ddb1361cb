#include "app/ConsoleOptions.h"

#include <cstring>
#include <string_view>

namespace kf::app {

std::optional<ConsoleOptions> ConsoleOptions::Parse(int argc, const char* const* argv,
                                                    std::string* error) {
    ConsoleOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        // "--name value" or "--name=value".
        const auto value = [&](std::string_view name, std::string* out) {
            if (argument == name) {
                if (i + 1 >= argc) {
                    *error = std::string(name) + " needs a value";
                    return false;
                }
                *out = argv[++i];
                return true;
            }
            *out = std::string(argument.substr(name.size() + 1));
            return true;
        };
        const auto named = [&](std::string_view name) {
            return argument == name ||
                   (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
                    argument[name.size()] == '=');
        };
        std::string text;
        if (argument == "--console") {
            options.console = true;
        } else if (argument == "--no-install") {
            options.no_install = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (named("--product")) {
            if (!value("--product", &options.product_dir) || options.product_dir.empty()) {
                *error = error->empty() ? "--product needs a folder" : *error;
                return std::nullopt;
            }
        } else if (named("--save")) {
            if (!value("--save", &options.save_dir) || options.save_dir.empty()) {
                *error = error->empty() ? "--save needs a folder" : *error;
                return std::nullopt;
            }
        } else if (named("--verify")) {
            if (!value("--verify", &text)) {
                return std::nullopt;
            }
            if (text == "yes") {
                options.verify = Verify::kYes;
            } else if (text == "no") {
                options.verify = Verify::kNo;
            } else {
                *error = "--verify takes yes or no, not '" + text + "'";
                return std::nullopt;
            }
        } else {
            *error = "unknown argument '" + std::string(argument) + "'";
            return std::nullopt;
        }
    }
    // Answers given on the command line are the console's: the window asks its user.
    if (options.verify != Verify::kAsk || options.no_install) {
        options.console = true;
    }
    return options;
}

void ConsoleOptions::PrintHelp(FILE* out) {
    std::fprintf(
        out,
        "Usage: kestrelfetch [--console] [--product DIR] [--save DIR] [--verify yes|no]\n"
        "                    [--no-install]\n"
        "Downloads the game client's installer and its two data volumes, checks them against\n"
        "their MD5 digests, repairs damaged ones and starts the installer.\n"
        "\n"
        "  --console          run in this terminal: the downloader's messages and a progress\n"
        "                     line on standard error. Without it the window opens when there\n"
        "                     is a display (DISPLAY or WAYLAND_DISPLAY), else the console runs.\n"
        "  --product DIR      the product folder to download instead of the built-in one\n"
        "  --save DIR         the folder the three files go into, exactly (created when\n"
        "                     missing); default: the saved download's folder, else ~/GD4251\n"
        "  --verify yes|no    answer the verify question without asking; without it the\n"
        "                     question is asked on standard input (end of input: yes). The\n"
        "                     installer's own digest is always checked before it runs.\n"
        "  --no-install       end once the files are complete and verified (with --verify no:\n"
        "                     once they are complete) instead of starting the installer\n"
        "                     (--verify and --no-install imply --console: the window asks)\n"
        "  -h, --help         this text\n"
        "\n"
        "Exit status: 0 the three files are complete and verified (and the installer started,\n"
        "unless --no-install), 1 usage, 2 the download or a repair failed, 130 interrupted\n"
        "(the download's state is saved; the next start goes on from there).\n");
}

}  // namespace kf::app
