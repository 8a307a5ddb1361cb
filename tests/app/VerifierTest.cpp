// The MD5 check of the finished files and the repair of damaged ones, on a scripted engine whose
// digests the test answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ControllerHarness.h"

namespace kf::app::test {
namespace {

// Lets the repaired task of file `index` finish: its progress reaches 10000 and the next second
// asks for the file's digest again.
void FinishRepair(ControllerHarness& h, int index) {
    const size_t asked = h.digests.size();
    h.ChangeTask(index, [](FakeTask& task) { task.info.info.progress = 10000; });
    h.Run(1);
    ASSERT_EQ(h.digests.size(), asked + 1);
    ASSERT_EQ(h.Context().state, DownloadState::kMd5Checking);
}

TEST(Verifier, ThreeIntactFilesPassAndTheInstallerStarts) {
    ControllerHarness h;
    h.ReachChecking();
    EXPECT_EQ(h.events->Count("11100001"), 1);
    h.AnswerDigest(true);
    // The installer passed; the first data volume is half read.
    h.Do(action::DigestProgress{h.digests.back().generation, 5000});
    ControllerSnapshot snapshot = h.Snapshot();
    EXPECT_EQ(snapshot.verify_progress, (109 * 10000 + 1024 * 5000) / (109 + 1024 + 932));
    EXPECT_EQ(snapshot.percentage, "30.07%");
    EXPECT_EQ(snapshot.speed_line, "文件验证中...");
    EXPECT_EQ(snapshot.rows[0].percent, "√ 验证通过  ");
    EXPECT_EQ(snapshot.rows[1].percent, "验证中：50.00%  ");
    EXPECT_EQ(snapshot.rows[2].percent, "待验证    ");
    // An answer to an earlier request changes nothing.
    h.Do(action::DigestDone{h.digests.back().generation - 1, h.config.product.files[1].md5});
    EXPECT_EQ(h.Context().verify_index, 1);

    h.AnswerDigest(true);
    h.AnswerDigest(true);
    EXPECT_EQ(h.events->Count("11500201"), 0);
    EXPECT_EQ(h.events->Count("11100004"), 1);
    EXPECT_EQ(h.Context().state, DownloadState::kCheckFinished);
    EXPECT_EQ(h.Snapshot().result_line, "√ 验证通过");
    ASSERT_EQ(h.launcher.opened.size(), 1u);
    EXPECT_EQ(h.launcher.opened[0].first, "/games/GD4251/setup.exe");
    EXPECT_EQ(h.launcher.opened[0].second, "/games/GD4251");
    EXPECT_TRUE(h.Context().installer_launched);
    EXPECT_TRUE(h.engine.Logged("MD5匹配：data.7z.002，Except："));
}

TEST(Verifier, ADamagedFileIsRepairedInUpToFiveRounds) {
    for (int passes_in_round = 1; passes_in_round <= 6; ++passes_in_round) {
        SCOPED_TRACE(passes_in_round);
        ControllerHarness h;
        h.ReachChecking();
        h.AnswerDigest(true);
        h.AnswerDigest(false);
        EXPECT_EQ(h.events->Count("11500201"), 1);
        EXPECT_NE(h.events->Info("11500201").find("MD5 unmatched (ffff"), std::string::npos);
        for (int round = 1; round <= 5; ++round) {
            ASSERT_EQ(h.Context().state, DownloadState::kCheckRecover);
            EXPECT_EQ(h.Snapshot().rows[1].percent, "准备修复.. ");
            // The old task stopped, its records deleted so that the data is read again, and
            // the file handed back to the engine past its duplicate check.
            EXPECT_EQ(h.engine.Count("StopTask data.7z.001"), round);
            const FakeTask* task = h.Task(1);
            ASSERT_TRUE(task->recovered && task->force);
            const auto removed = h.disk.Removed();
            EXPECT_EQ(std::count(removed.begin(), removed.end(), h.Context().resume_path[1]),
                      round);
            EXPECT_EQ(std::count(removed.begin(), removed.end(), h.Context().resume_path[1] + "df"),
                      round);
            // The repaired task has its share of the limits.
            EXPECT_EQ(task->source_limit, 36);
            h.ChangeTask(1, [](FakeTask& t) {
                t.info.info.progress = 4200;
                t.info.info.speed = 3000;
            });
            h.Run(1);
            EXPECT_EQ(h.Snapshot().percentage, "42.00%");
            EXPECT_EQ(h.Snapshot().rows[1].percent, "修复中：42.00%  ");
            FinishRepair(h, 1);
            h.AnswerDigest(round == passes_in_round);
            if (round == passes_in_round) {
                break;
            }
        }
        if (passes_in_round <= 5) {
            EXPECT_EQ(h.events->Count("11100003"), 1);
            EXPECT_NE(
                h.events->Info("11100003").find("修复次数：" + std::to_string(passes_in_round)),
                std::string::npos);
            EXPECT_EQ(h.Context().verify_index, 2) << "the check goes on with the next file";
            h.AnswerDigest(true);
            EXPECT_EQ(h.Context().state, DownloadState::kCheckFinished);
            EXPECT_EQ(h.Snapshot().result_line, "√ 修复成功");
            EXPECT_TRUE(h.Context().installer_launched);
        } else {
            EXPECT_EQ(h.events->Count("11990501"), 1);
            EXPECT_NE(h.events->Info("11990501").find("修复次数：5"), std::string::npos);
            EXPECT_EQ(h.Context().state, DownloadState::kFailed);
            EXPECT_EQ(h.messages.Count("修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他"
                                       "方式下载客户端\r\n或重启下载器进行再次修复"),
                      1);
            EXPECT_TRUE(h.launcher.opened.empty());
        }
    }
}

TEST(Verifier, ARepairThatCannotGoOnSaysSo) {
    const struct {
        const char* name;
        int recover_failures;
        int32_t status;  // the repaired task's status
        bool stuck;
    } cases[] = {
        {"recovered at the fourth attempt", 3, 0, false},
        {"four failed attempts", 4, 0, true},
        {"the repaired task ended", 0, KF_STATUS_NO_SOURCE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h;
        h.ReachChecking();
        h.engine.recover_results.assign(static_cast<size_t>(c.recover_failures), KF_ERR_INTERNAL);
        h.AnswerDigest(false);
        EXPECT_EQ(h.messages.Count("ErrorCode : -107"), c.recover_failures);
        if (c.status != 0) {
            h.ChangeTask(0, [&](FakeTask& task) { task.info.info.status = c.status; });
            h.Run(1);
        }
        EXPECT_EQ(h.messages.Count("修复出错，请尝试重新启动下载器"), c.stuck ? 1 : 0);
        EXPECT_EQ(h.Snapshot().repair_error, c.stuck);
        EXPECT_EQ(h.Context().state, DownloadState::kCheckRecover);
        h.Run(3);
        EXPECT_EQ(h.messages.Count("修复出错，请尝试重新启动下载器"), c.stuck ? 1 : 0);
    }

    // A digest that cannot be started leaves the question to be asked again.
    ControllerHarness h;
    h.ReachFinished();
    h.digests_refused = true;
    h.Do(action::MainAction{});
    h.Do(action::VerifyAnswer{true, true});
    EXPECT_EQ(h.messages.Count("检查线程创建失败，请重试"), 1);
    EXPECT_EQ(h.Context().state, DownloadState::kFinished);
    h.digests_refused = false;
    h.Do(action::MainAction{});
    EXPECT_EQ(h.Context().question, Question::kVerify);
}

TEST(Verifier, DeclinedVerificationStillChecksTheInstallerBeforeItRuns) {
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged);
        ControllerHarness h;
        h.ReachFinished();
        h.Do(action::MainAction{});
        h.Do(action::VerifyAnswer{false, true});
        EXPECT_EQ(h.events->Count("11100002"), 1);
        ASSERT_EQ(h.digests.size(), 1u);
        EXPECT_EQ(h.digests[0].path, "/games/GD4251/setup.exe");
        EXPECT_TRUE(h.launcher.opened.empty()) << "not before its digest matched";
        if (damaged) {
            h.AnswerDigest(false);
            EXPECT_EQ(h.Context().state, DownloadState::kCheckRecover);
            EXPECT_TRUE(h.launcher.opened.empty());
            FinishRepair(h, 0);
        }
        h.AnswerDigest(true);
        EXPECT_EQ(h.digests.size(), damaged ? 2u : 1u) << "the data volumes are not checked";
        EXPECT_EQ(h.launcher.opened.size(), 1u);
        EXPECT_TRUE(h.Context().installer_launched);
        EXPECT_EQ(h.events->Count("11100004"), 0);
        EXPECT_EQ(h.events->Count("11100003"), damaged ? 1 : 0);
    }
}

TEST(Verifier, VerificationProgressWithTinyFilesNeverDividesByZero) {
    ControllerHarness h({1, 0, 4097});
    h.ReachChecking();
    h.Do(action::DigestProgress{h.digests.back().generation, 10000});
    EXPECT_EQ(h.Snapshot().verify_progress, 3333);
    h.AnswerDigest(true);
    h.AnswerDigest(true);
    h.Do(action::DigestProgress{h.digests.back().generation, 9999});
    EXPECT_EQ(h.Snapshot().verify_progress, 9999);
    h.Do(action::DigestProgress{h.digests.back().generation, 10000});
    EXPECT_EQ(h.Snapshot().verify_progress, 10000);
}

}  // namespace
}  // namespace kf::app::test
