#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/IniFile.h"
#include "support/TempDir.h"

namespace {

using kf::app::IniFile;
using kf::test::TempDir;
using kf::test::WriteFile;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(IniFile, ReadsWithPrivateProfileSemantics) {
    TempDir dir;
    const std::string path = dir / "state.kfconf";
    ASSERT_TRUE(WriteFile(path,
                          "; saved state\r\n"
                          "[KestrelfetchTask]\r\n"
                          "  KestrelfetchTaskHash =  abc  \r\n"
                          "Quoted=\"  spaced  \"\r\n"
                          "Link=36\r\n"
                          "Minus=-1\r\n"
                          "Trailing=12abc\r\n"
                          "Word=abc\r\n"
                          "Empty=\r\n"
                          "[kestrelfetchtask]\r\n"
                          "Second=hidden\r\n"
                          "[Other]\r\n"
                          "Link=99\r\n"));
    const IniFile ini(path);
    struct Case {
        const char* section;
        const char* key;
        const char* text;  // GetString with fallback "-"
        int32_t number;    // GetInt with fallback 7
    } cases[] = {
        {"KestrelfetchTask", "KestrelfetchTaskHash", "abc", 0},
        {"KESTRELFETCHTASK", "kestrelfetchtaskhash", "abc", 0},  // names ignore case
        {"KestrelfetchTask", "Quoted", "  spaced  ", 0},         // one pair of quotes goes
        {"KestrelfetchTask", "Link", "36", 36},
        {"KestrelfetchTask", "Minus", "-1", -1},
        {"KestrelfetchTask", "Trailing", "12abc", 12},
        {"KestrelfetchTask", "Word", "abc", 0},
        {"KestrelfetchTask", "Empty", "", 7},    // present but empty: the fallback
        {"KestrelfetchTask", "Second", "-", 7},  // only the first section of a name counts
        {"KestrelfetchTask", "Missing", "-", 7},
        {"Other", "Link", "99", 99},
        {"Absent", "Link", "-", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(ini.GetString(c.section, c.key, "-"), c.text);
        EXPECT_EQ(ini.GetInt(c.section, c.key, 7), c.number);
    }
    EXPECT_EQ(static_cast<uint32_t>(ini.GetInt("KestrelfetchTask", "Minus", 0)), 0xFFFFFFFFu);
    EXPECT_EQ(IniFile(dir / "none.ini").GetString("A", "B", "fallback"), "fallback");
    EXPECT_EQ(IniFile(dir / "none.ini").GetInt("A", "B", -1), -1);
}

TEST(IniFile, WritesKeepTheRestOfTheFileAndAreAtomic) {
    TempDir dir;
    const std::string path = dir / "state.kfconf";
    IniFile ini(path);
    EXPECT_FALSE(ini.Exists());

    // A write creates the file, the section and the key.
    ASSERT_TRUE(ini.WriteString("KestrelfetchTask", "KestrelfetchTaskHash", "abc"));
    EXPECT_EQ(ReadAll(path), "[KestrelfetchTask]\nKestrelfetchTaskHash=abc\n");

    // A CR LF file with comments: a changed key keeps its own spelling, a new key joins its
    // section before the blank line, a new section goes at the end, the rest stays byte for byte.
    ASSERT_TRUE(WriteFile(path,
                          "; keep me\r\n"
                          "[KestrelfetchTask]\r\n"
                          "KestrelfetchTaskHash = old\r\n"
                          "Other=1\r\n"
                          "\r\n"
                          "[KestrelfetchFinishInfo]\r\n"
                          "A=1\r\n"));
    ASSERT_TRUE(
        ini.WriteStrings("kestrelfetchtask", {{"KESTRELFETCHTASKHASH", "new"}, {"Added", "2"}}));
    ASSERT_TRUE(ini.WriteString("Fresh", "Key", "v"));
    EXPECT_EQ(ReadAll(path),
              "; keep me\r\n"
              "[KestrelfetchTask]\r\n"
              "KestrelfetchTaskHash=new\r\n"
              "Other=1\r\n"
              "Added=2\r\n"
              "\r\n"
              "[KestrelfetchFinishInfo]\r\n"
              "A=1\r\n"
              "[Fresh]\r\n"
              "Key=v\r\n");
    EXPECT_EQ(ini.GetString("KestrelfetchTask", "KestrelfetchTaskHash"), "new");

    // Nothing that could add lines of its own is written, and a refused write changes nothing.
    const std::string before = ReadAll(path);
    EXPECT_FALSE(ini.WriteString("KestrelfetchTask", "Key", "a\r\nInjected=1"));
    EXPECT_FALSE(ini.WriteString("KestrelfetchTask", "Key=x", "1"));
    EXPECT_FALSE(ini.WriteString("Bad]Section", "Key", "1"));
    EXPECT_FALSE(ini.WriteString("KestrelfetchTask", " ", "1"));
    EXPECT_EQ(ReadAll(path), before);

    // No temporary file is left beside it; a write into a missing folder fails cleanly.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        ++entries;
        EXPECT_EQ(entry.path().filename(), "state.kfconf");
    }
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(IniFile(dir / "missing/state.ini").WriteString("A", "B", "C"));

    EXPECT_TRUE(ini.Remove());
    EXPECT_FALSE(ini.Exists());
    EXPECT_TRUE(ini.Remove());
}

}  // namespace
