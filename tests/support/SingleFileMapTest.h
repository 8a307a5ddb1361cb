#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf::test {

// Fixture for piece map tests on one file of 64 KiB pieces over random bytes (`stream`), laid out
// in a fresh folder, with a clock the test moves (`now`).
class SingleFileMapTest : public ::testing::Test {
  protected:
    explicit SingleFileMapTest(uint32_t seed) : seed_(seed) {}

    void SetUp() override {
        params.target_folder = dir / "dl";
        params.now = [this] { return now; };
    }

    // A map of `length` bytes; `stream` becomes its content.
    RefPtr<TPieces> Make(int64_t length) {
        stream = RandomBytes(static_cast<size_t>(length), seed_);
        bool ok = false;
        RefPtr<TPieces> p =
            LoadPieces(&task, params, HandMadeMetainfo("data.bin", 65536, length, {}, stream), &ok);
        EXPECT_TRUE(ok);
        return p;
    }

    TempDir dir;
    RecordingTaskLink task;
    PiecesParams params;
    std::string stream;
    int64_t now = 100000;

  private:
    uint32_t seed_;
};

}  // namespace kf::test
