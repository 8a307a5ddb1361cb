// The console front end's pure parts: the command line and what the console does with each
// snapshot of the controller.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "app/ConsoleDriver.h"
#include "app/ConsoleOptions.h"

namespace kf::app {
namespace {

TEST(ConsoleOptions, ParsesTheCommandLineAndRefusesWhatItDoesNotKnow) {
    const struct {
        std::vector<const char*> arguments;
        bool ok = true;
        const char* error = "";
        bool console = false;
        const char* product = "";
        const char* save = "";
        ConsoleOptions::Verify verify = ConsoleOptions::Verify::kAsk;
        bool no_install = false;
    } cases[] = {
        {{}, true, "", false, "", "", ConsoleOptions::Verify::kAsk, false},
        {{"--console", "--save", "/s", "--verify", "yes", "--no-install", "--product=/p"},
         true,
         "",
         true,
         "/p",
         "/s",
         ConsoleOptions::Verify::kYes,
         true},
        // The command line's answers are the console's: they bring it up without --console.
        {{"--verify=no", "--save=rel/dir"},
         true,
         "",
         true,
         "",
         "rel/dir",
         ConsoleOptions::Verify::kNo,
         false},
        {{"--no-install"}, true, "", true, "", "", ConsoleOptions::Verify::kAsk, true},
        {{"--verify", "maybe"}, false, "--verify takes yes or no, not 'maybe'"},
        {{"--verify"}, false, "--verify needs a value"},
        {{"--save"}, false, "--save needs a value"},
        {{"--save="}, false, "--save needs a folder"},
        {{"--product", ""}, false, "--product needs a folder"},
        {{"--console", "--bogus"}, false, "unknown argument '--bogus'"},
        {{"--savex=1"}, false, "unknown argument '--savex=1'"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"kestrelfetch"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        std::string error;
        const auto options =
            ConsoleOptions::Parse(static_cast<int>(argv.size()), argv.data(), &error);
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(none)");
        ASSERT_EQ(options.has_value(), c.ok) << error;
        if (!c.ok) {
            EXPECT_EQ(error, c.error);
            continue;
        }
        EXPECT_EQ(options->console, c.console);
        EXPECT_EQ(options->product_dir, c.product);
        EXPECT_EQ(options->save_dir, c.save);
        EXPECT_EQ(options->verify, c.verify);
        EXPECT_EQ(options->no_install, c.no_install);
    }
    std::string error;
    const char* help[] = {"kestrelfetch", "-h"};
    EXPECT_TRUE(ConsoleOptions::Parse(2, help, &error)->help);
}

// One snapshot the console sees, and what it is expected to do with it.
struct Seen {
    DownloadState state;
    uint64_t user_actions;
    Question question = Question::kNone;
    const char* expect = "";  // "start" (main action), "answer yes", "answer no", "ask", "" none
    int exit_code = -1;       // -1: none yet
    bool installer_launched = false;
    bool all_verified = false;
    bool ended = false;
};

void Replay(ConsoleDriver& driver, const std::vector<Seen>& seen) {
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        ControllerSnapshot snapshot;
        snapshot.state = seen[i].state;
        snapshot.user_actions = seen[i].user_actions;
        snapshot.question = seen[i].question;
        snapshot.installer_launched = seen[i].installer_launched;
        snapshot.all_verified = seen[i].all_verified;
        snapshot.ended = seen[i].ended;
        const ConsoleDriver::Step step = driver.Next(snapshot);
        std::string did;
        if (step.ask_verify) {
            did = "ask";
        } else if (!step.post.empty()) {
            EXPECT_EQ(step.post.size(), 1u);
            if (std::holds_alternative<action::MainAction>(step.post[0])) {
                did = "start";
            } else if (const auto* answer = std::get_if<action::VerifyAnswer>(&step.post[0])) {
                did = answer->verify ? "answer yes" : "answer no";
            }
        }
        EXPECT_EQ(did, seen[i].expect);
        EXPECT_EQ(step.exit_code.value_or(-1), seen[i].exit_code);
    }
}

TEST(ConsoleDriver, PressesTheButtonsAUserWouldAndEndsWithTheRightCode) {
    using S = DownloadState;
    const Question verify = Question::kVerify;
    {
        SCOPED_TRACE("verify yes, install");
        ConsoleDriver driver(ConsoleOptions::Verify::kYes, false);
        Replay(driver, {{S::kReady, 0, Question::kNone, "start"},
                        {S::kReady, 0},  // not handled yet: nothing twice
                        {S::kPreparing, 1},
                        {S::kDownloading, 1},
                        {S::kFinished, 1, Question::kNone, "start"},
                        {S::kFinished, 2, verify, "answer yes"},
                        {S::kFinished, 2, verify},
                        {S::kMd5Checking, 3},
                        {S::kCheckRecover, 3},
                        {S::kCheckFinished, 3, Question::kNone, "", -1, true, true},
                        {S::kCheckFinished, 3, Question::kNone, "", 0, true, true, true}});
    }
    {
        SCOPED_TRACE("verify no, install: the installer's own check runs");
        ConsoleDriver driver(ConsoleOptions::Verify::kNo, false);
        Replay(driver, {{S::kRecover, 0},
                        {S::kFinished, 0, Question::kNone, "start"},
                        {S::kFinished, 1, verify, "answer no"},
                        {S::kMd5Checking, 2},
                        {S::kFinished, 2, Question::kNone, "", -1, true},
                        {S::kFinished, 2, Question::kNone, "", 0, true, false, true}});
    }
    {
        SCOPED_TRACE("no install: done once verified, or once complete when not verifying");
        ConsoleDriver yes(ConsoleOptions::Verify::kYes, true);
        Replay(yes, {{S::kFinished, 0, Question::kNone, "start"},
                     {S::kFinished, 1, verify, "answer yes"},
                     {S::kCheckFinished, 2, Question::kNone, "", 0, false, true}});
        ConsoleDriver no(ConsoleOptions::Verify::kNo, true);
        Replay(no, {{S::kDownloading, 0}, {S::kFinished, 0, Question::kNone, "", 0}});
    }
    {
        SCOPED_TRACE("asked on the input");
        ConsoleDriver driver(ConsoleOptions::Verify::kAsk, true);
        Replay(driver, {{S::kFinished, 0, Question::kNone, "start"},
                        {S::kFinished, 1, verify, "ask"},
                        {S::kFinished, 1, verify}});
        EXPECT_TRUE(driver.Answer(false).empty()) << "no and nothing to install: done";
        Replay(driver, {{S::kFinished, 1, verify, "", 0}});
        ConsoleDriver install(ConsoleOptions::Verify::kAsk, false);
        const std::vector<ControllerAction> answer = install.Answer(false);
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_TRUE(std::get<action::VerifyAnswer>(answer[0]).install_after);
    }
    {
        SCOPED_TRACE("a start that was refused, and downloads that stopped");
        ConsoleDriver refused(ConsoleOptions::Verify::kYes, false);
        Replay(refused, {{S::kReady, 0, Question::kNone, "start"}, {S::kReady, 1, {}, "", 2}});
        for (const S stopped : {S::kPause, S::kFailed, S::kBack}) {
            ConsoleDriver driver(ConsoleOptions::Verify::kYes, false);
            Replay(driver, {{S::kPreparing, 0},
                            {stopped,
                             0,
                             {},
                             stopped == S::kBack ? "start" : "",
                             stopped == S::kBack ? -1 : 2}});
        }
        ConsoleDriver ended(ConsoleOptions::Verify::kYes, false);
        Replay(ended, {{S::kDownloading, 0, {}, "", 2, false, false, true}});
    }
}

TEST(ConsoleDriver, APauseForWantOfSpaceWaitsAndContinuesOnceThereIsRoom) {
    ConsoleDriver driver(ConsoleOptions::Verify::kYes, false);
    ControllerSnapshot snapshot;
    snapshot.state = DownloadState::kReady;
    ASSERT_EQ(driver.Next(snapshot).post.size(), 1u);
    snapshot.user_actions = 1;
    snapshot.state = DownloadState::kPause;
    snapshot.low_space = true;
    ConsoleDriver::Step step = driver.Next(snapshot);
    EXPECT_FALSE(step.exit_code);
    EXPECT_TRUE(step.post.empty());
    EXPECT_NE(step.note, "") << "the wait is told once";
    EXPECT_EQ(driver.Next(snapshot).note, "");
    snapshot.low_space = false;
    step = driver.Next(snapshot);
    ASSERT_EQ(step.post.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<action::MainAction>(step.post[0])) << "continue";
    EXPECT_FALSE(step.exit_code);
    snapshot.user_actions = 2;
    snapshot.state = DownloadState::kResume;
    EXPECT_FALSE(driver.Next(snapshot).exit_code);
    snapshot.state = DownloadState::kPause;  // paused again, on another error
    EXPECT_EQ(driver.Next(snapshot).exit_code.value_or(-1), ConsoleOptions::kFailed);
}

TEST(ConsoleDriver, OutcomesThatEndTheRunAsFailed) {
    for (int which = 0; which < 4; ++which) {
        ConsoleDriver driver(ConsoleOptions::Verify::kYes, false);
        ControllerSnapshot snapshot;
        snapshot.state = DownloadState::kMd5Checking;
        snapshot.init_result = which == 0 ? -2 : 0;
        snapshot.repair_error = which == 1;
        snapshot.install_failed = which == 2;
        snapshot.expired = which == 3;
        EXPECT_EQ(driver.Next(snapshot).exit_code.value_or(-1), ConsoleOptions::kFailed) << which;
    }
}

}  // namespace
}  // namespace kf::app
