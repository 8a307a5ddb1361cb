#include "app/ConsoleFrontend.h"

#include <poll.h>
#include <unistd.h>

#include "app/ControllerThread.h"

namespace kf::app {
namespace {

std::string WithoutCarriageReturns(std::string text) {
    std::string lines;
    for (const char c : text) {
        if (c != '\r') {
            lines += c;
        }
    }
    return lines;
}

}  // namespace

ConsoleFrontend::ConsoleFrontend(const ConsoleOptions& options, FILE* out, FILE* in)
    : driver_(options.verify, options.no_install),
      out_(out),
      in_(in),
      terminal_(isatty(fileno(out)) == 1) {}

void ConsoleFrontend::Show(const std::string& text, const std::string& caption) {
    const std::string head = caption == kTitle ? std::string() : caption + ": ";
    Line(head + WithoutCarriageReturns(text));
}

void ConsoleFrontend::Line(const std::string& text) {
    std::lock_guard hold(mutex_);
    EndProgressLine();
    std::fprintf(out_, "kestrelfetch: %s\n", text.c_str());
    std::fflush(out_);
}

void ConsoleFrontend::EndProgressLine() {
    if (line_open_) {
        std::fputc('\n', out_);
        line_open_ = false;
    }
}

void ConsoleFrontend::Progress(const ControllerSnapshot& snapshot) {
    if (snapshot.state_name != last_state_) {
        last_state_ = snapshot.state_name;
        Line("state: " + snapshot.state_name);
    }
    std::lock_guard hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (terminal_ ? now - last_drawn_ < std::chrono::milliseconds(200)
                  : snapshot.second_ticks == last_second_) {
        return;
    }
    last_drawn_ = now;
    last_second_ = snapshot.second_ticks;
    const bool verifying = snapshot.verify_bar;
    const int32_t progress = verifying ? snapshot.verify_progress : snapshot.overall_progress;
    const std::string figures =
        snapshot.percentage + "  " + snapshot.state_name + "  " +
        (snapshot.result_line.empty() ? snapshot.speed_line : snapshot.result_line) + "  " +
        snapshot.size_line;
    if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = progress * kWidth / 10000;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(out_, "\r[%s] %s\033[K", bar.c_str(), figures.c_str());
        line_open_ = true;
    } else {
        std::fprintf(out_, "%s\n", figures.c_str());
    }
    std::fflush(out_);
}

bool ConsoleFrontend::AskVerify(const std::string& question, const std::atomic<bool>& interrupted) {
    {
        std::lock_guard hold(mutex_);
        EndProgressLine();
        std::fprintf(out_, "kestrelfetch: %s [Y/n] ", question.c_str());
        std::fflush(out_);
    }
    std::string answer;
    const int fd = fileno(in_);
    while (!interrupted.load()) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, 200);
        if (polled < 0) {
            break;
        }
        if (polled == 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got <= 0 || c == '\n') {
            break;
        }
        if (answer.size() < 16) {
            answer += c;
        }
    }
    return !(answer == "n" || answer == "N" || answer == "no" || answer == "否");
}

int ConsoleFrontend::Run(ControllerThread& thread, const std::atomic<bool>& interrupted) {
    uint64_t seen = 0;
    std::optional<int> exit_code;
    bool exit_posted = false;
    // Each round waits at most 200 ms; the rounds end with the controller's last snapshot.
    for (;;) {
        const std::shared_ptr<const ControllerSnapshot> snapshot =
            thread.WaitNewer(seen, std::chrono::milliseconds(200));
        seen = snapshot->sequence;
        if (seen == 0) {
            continue;  // Init has not published yet
        }
        Progress(*snapshot);
        const ConsoleDriver::Step step = driver_.Next(*snapshot);
        if (snapshot->ended) {
            {
                std::lock_guard hold(mutex_);
                EndProgressLine();
            }
            thread.Join();
            return exit_code.value_or(step.exit_code.value_or(ConsoleOptions::kFailed));
        }
        if (exit_posted) {
            continue;
        }
        if (interrupted.load()) {
            Line("interrupted: the download's state is saved; the next start goes on from there");
            exit_code = ConsoleOptions::kInterrupted;
        } else {
            if (!step.note.empty()) {
                Line(step.note);
            }
            for (const ControllerAction& action : step.post) {
                thread.Post(action);
            }
            if (step.ask_verify) {
                for (ControllerAction& answer :
                     driver_.Answer(AskVerify(snapshot->question_text, interrupted))) {
                    thread.Post(std::move(answer));
                }
            }
            exit_code = step.exit_code;
        }
        if (exit_code) {
            thread.Post(action::Exit{true});
            exit_posted = true;
        }
    }
}

}  // namespace kf::app
