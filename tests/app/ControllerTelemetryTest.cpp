// The controller starts the download report at start-up and its events carry the report's fields.
#include <gtest/gtest.h>

#include <algorithm>

#include "ControllerHarness.h"

namespace kf::app::test {
namespace {

TEST(ControllerTelemetry, StartUpStartsTheReportWithTheReleasedFileAndStartAsksForTheLists) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    const std::vector<std::string> calls = h.engine.Calls();
    const std::string prefix =
        "CollectDataUpload " + h.config.paths.data_folder + "/dataupload.kfconf 772 ";
    const auto collect = std::find_if(calls.begin(), calls.end(), [&](const std::string& call) {
        return call.starts_with(prefix);
    });
    ASSERT_NE(collect, calls.end());
    EXPECT_TRUE(collect->ends_with(" " + h.config.product.game_version + " 1")) << *collect;
    // Before any task exists, so that the first events already reach the collector.
    EXPECT_EQ(std::count_if(calls.begin(), collect,
                            [](const std::string& c) { return c.starts_with("CreateAndStart"); }),
              0);

    h.Do(action::MainAction{});
    EXPECT_NE(h.events->Info("11010000").find("\"Flags\":7"), std::string::npos)
        << h.events->Info("11010000");
}

}  // namespace
}  // namespace kf::app::test
