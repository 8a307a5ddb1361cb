#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/FileDigest.h"
#include "support/TempDir.h"

namespace {

using kf::app::FileDigest;
using kf::test::TempDir;
using kf::test::WriteFile;

std::string Md5sum(const std::string& path) {
    const std::string command = "md5sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    char line[256] = {};
    const bool got = std::fgets(line, sizeof(line), pipe) != nullptr;
    pclose(pipe);
    return got ? std::string(line).substr(0, 32) : std::string();
}

TEST(FileDigest, MatchesMd5sumAroundTheBlockSizeWithBoundedProgress) {
    TempDir dir;
    for (const size_t size : {0u, 1u, 4095u, 4096u, 4097u, 3u * 4096u + 5u}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
        }
        const std::string path = dir / ("file" + std::to_string(size));
        ASSERT_TRUE(WriteFile(path, bytes));
        std::vector<int32_t> progress;
        const std::string digest =
            FileDigest::Md5(path, [&](int32_t value) { progress.push_back(value); });
        EXPECT_EQ(digest, Md5sum(path));
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front(), 0);
        EXPECT_EQ(progress.back(), 10000);
        for (size_t i = 1; i < progress.size(); ++i) {
            EXPECT_GT(progress[i], progress[i - 1]);
            EXPECT_LE(progress[i], 10000);
        }
    }
    EXPECT_EQ(FileDigest::Md5(dir / "missing", {}), "");
    std::atomic<bool> cancel{true};
    ASSERT_TRUE(WriteFile(dir / "cancelled", std::string(8192, 'x')));
    EXPECT_EQ(FileDigest::Md5(dir / "cancelled", {}, &cancel), "");
}

TEST(FileDigest, ProgressNeverDividesByZero) {
    const struct {
        uint64_t blocks;
        int64_t size;
        int32_t progress;
    } cases[] = {{0, 0, 10000},    {1, 1, 10000},    {1, 4095, 10000},
                 {1, 4096, 10000}, {2, 4097, 10000}, {1, 8192, 5000},
                 {3, 40960, 3000}, {1, -5, 10000},   {262144, 1073741824, 10000}};
    for (const auto& c : cases) {
        EXPECT_EQ(FileDigest::ProgressAfter(c.blocks, c.size), c.progress)
            << c.blocks << " of " << c.size;
    }
}

}  // namespace
