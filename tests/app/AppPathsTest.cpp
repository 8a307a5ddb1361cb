// The downloader's folders from the environment, and writing embedded files out into them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/platform/AppPaths.h"
#include "app/platform/ProductInfo.h"
#include "app/platform/ReleaseFile.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteFile;

// Sets (or, with null, removes) an environment variable for one scope. Tests run before any
// thread of theirs starts.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void Set(const char* value) {
        if (value != nullptr) {
            setenv(name_, value, 1);
        } else {
            unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(AppPaths, DataHomeFollowsTheEnvironmentAndFoldersFollowTheProduct) {
    const struct {
        const char* own;
        const char* xdg;
        const char* home;
        const char* expected;
    } cases[] = {
        {"/data/kf", "/data/xdg", "/home/u", "/data/kf"},
        {nullptr, "/data/xdg", "/home/u", "/data/xdg"},
        {"", "relative/xdg", "/home/u", "/home/u/.local/share"},
        {nullptr, nullptr, "/home/u", "/home/u/.local/share"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const ScopedEnv own("KESTRELFETCH_DATA_HOME", c.own);
        const ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
        const ScopedEnv home("HOME", c.home);
        EXPECT_EQ(AppPaths::DataHome(), c.expected);
    }
    {
        const ScopedEnv tmp("TMPDIR", "/scratch");
        EXPECT_EQ(AppPaths::TemporaryFolder(), "/scratch");
    }
    {
        const ScopedEnv tmp("TMPDIR", nullptr);
        EXPECT_EQ(AppPaths::TemporaryFolder(), "/tmp");
    }

    const ProductInfo product = ProductInfo::Default();
    const std::string folder = "/d/Orlo/Kestrelfetch/Kestrelfetch" + product.Id();
    for (const auto& [hash, resume] :
         {std::pair{"", product.Id()}, {"abc", "abc"}, {"../../x", product.Id()}}) {
        SCOPED_TRACE(hash);
        const AppPaths paths = AppPaths::For(product, "/d", hash);
        EXPECT_EQ(paths.data_home, "/d");
        EXPECT_EQ(paths.data_folder, folder);
        EXPECT_EQ(paths.config_file, folder + "/" + product.Id() + ".kfconf");
        EXPECT_EQ(paths.log_prefix, folder + "/" + product.Id());
        EXPECT_EQ(paths.telemetry_config, folder + "/dataupload.kfconf");
        EXPECT_EQ(paths.resume_folder, folder + "/" + resume + "KFInfo/");
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(paths.resume_path[i],
                      paths.resume_folder + product.files[i].name + ".kfinfo");
        }
    }
}

TEST(ReleaseFile, WritesIntoTheFolderElseTheTemporaryFolderNeverThroughALink) {
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir / "plain", "a file, so nothing can be made under it"));
    ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0700), 0);
    const struct {
        std::string folder;
        std::string temporary;
        std::string name;
        int result;
        std::string written;  // where the bytes must be, for results 0 and 1
    } cases[] = {
        {dir / "data/sub", dir / "tmp", "dataupload.kfconf", 0, dir / "data/sub/dataupload.kfconf"},
        {dir / "plain/sub", dir / "tmp", "dataupload.kfconf", 1, dir / "tmp/dataupload.kfconf"},
        {dir / "plain/sub", dir / "plain/tmp", "dataupload.kfconf", -1, ""},
        {dir / "data", dir / "tmp", "../escape", -1, ""},
        {dir / "data", dir / "tmp", "", -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.name);
        const ScopedEnv tmp("TMPDIR", c.temporary.c_str());
        const std::string bytes = "[SubmitEventDownload]\nSubmitUrl=x\n";
        EXPECT_EQ(ReleaseFile(c.folder, c.name, bytes), c.result);
        if (c.result >= 0) {
            EXPECT_EQ(ReadWholeFile(c.written), bytes);
        }
    }
    EXPECT_FALSE(test::FileExists(dir / "escape"));

    // A link planted under the name in the temporary folder is replaced, its target untouched.
    ASSERT_TRUE(WriteFile(dir / "victim", "keep"));
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "tmp/planted").c_str()), 0);
    const ScopedEnv tmp("TMPDIR", (dir / "tmp").c_str());
    EXPECT_EQ(ReleaseFile(dir / "plain/sub", "planted", "new bytes"), 1);
    EXPECT_EQ(ReadWholeFile(dir / "victim"), "keep");
    struct stat info {};
    ASSERT_EQ(lstat((dir / "tmp/planted").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(ReadWholeFile(dir / "tmp/planted"), "new bytes");
}

}  // namespace
}  // namespace kf::app
