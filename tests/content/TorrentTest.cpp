#include "engine/content/TTorrent.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/content/Bencode.h"
#include "engine/content/InfoReader.h"
#include "engine/content/TaskLink.h"
#include "engine/os/FileBytes.h"
#include "support/TempDir.h"

namespace kf {
namespace {

class RecordingTask : public TaskLink {
  public:
    void SetTaskState(kf::TaskState state) override { states.push_back(state); }
    void SetTaskStatus(int32_t code) override { status = code; }
    void RequestStop() override { stop_requested = true; }
    bool IsStopRequested() override { return stop_requested; }
    void PieceNotice(int32_t, int32_t, int32_t, int64_t, std::span<const uint8_t>) override {}

    std::vector<kf::TaskState> states;
    int32_t status = 0;
    bool stop_requested = false;
};

// Stands in for the piece map: takes what it is given and answers as told.
class FakeInfoReader : public InfoReader {
  public:
    bool ParseInfo(const QElement* info) override {
        ++calls;
        got_info = info != nullptr;
        if (info != nullptr) {
            const QElement* name = info->FindValue("name");
            name_text = name != nullptr ? name->ConvertedText() : "";
            const QElement* length = info->FindValue("length");
            length_value = length != nullptr ? length->Integer() : -1;
        }
        return answer && info != nullptr;  // a piece map cannot be laid out without one
    }

    bool answer = true;
    int calls = 0;
    bool got_info = false;
    std::string name_text;
    int64_t length_value = -1;
};

bool Parse(TTorrent& torrent, std::string_view bytes) {
    return torrent.ParseMetainfo({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

const std::string kInfo =
    "d6:lengthi5e4:name1:a12:piece lengthi16384e6:pieces20:01234567890123456789e";

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char chunk[256];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
        out.append(chunk, got);
    }
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

std::string InfoHashByOtherReader(const std::string& path) {
    return RunCommand(
        "/usr/bin/python3 -c 'import sys, libtorrent as lt; "
        "print(lt.torrent_info(sys.argv[1]).info_hash())' '" +
        path + "' 2>/dev/null");
}

TEST(Torrent, ReadsCheckedInMetainfoFile) {
    RecordingTask task;
    FakeInfoReader reader;
    auto torrent = RefPtr<TTorrent>::Make(&task, &reader);
    torrent->SetSourceText(std::string("FILE://") + KF_TEST_DATA_DIR + "/content/multi.torrent");
    ASSERT_TRUE(torrent->Load());

    // Expected hash taken once from an independent reader when the fixture was made.
    EXPECT_EQ(torrent->info_hash_hex(), "ccfb20a8db26624662bbc847c96ec78bc2761467");
    EXPECT_EQ(torrent->info_hash()[0], 0xcc);
    EXPECT_EQ(torrent->info_hash_escaped(), "%cc%fb%20%a8%db%26bFb%bb%c8G%c9n%c7%8b%c2v%14g");
    EXPECT_EQ(torrent->announce(), "http://tracker.invalid/announce");
    EXPECT_EQ(torrent->trackers(), (std::vector<std::string>{"http://tracker.invalid/announce",
                                                             "http://tracker.invalid/announce",
                                                             "udp://backup.invalid:6969"}));
    EXPECT_EQ(torrent->comment(), "fixture for the metainfo reader");
    EXPECT_EQ(torrent->creation_date(), 0);
    EXPECT_EQ(task.states,
              (std::vector<kf::TaskState>{kf::TaskState::kBuildingMap, kf::TaskState::kRunning}));
    EXPECT_EQ(reader.calls, 1);
    EXPECT_EQ(reader.name_text, "album");
}

TEST(Torrent, InfoHashMatchesAnIndependentReaderOnFreshFiles) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFile(dir / "one.bin", std::string(100000, 'x')));
    const std::string out = dir / "one.torrent";
    if (std::system(("mktorrent -l 15 -a http://t.invalid/a -c note -o '" + out + "' '" +
                     (dir / "one.bin") + "' >/dev/null 2>&1")
                        .c_str()) != 0) {
        GTEST_SKIP() << "mktorrent not available";
    }
    auto torrent = RefPtr<TTorrent>::Make(nullptr);
    torrent->SetSourceText("file://" + out);
    ASSERT_TRUE(torrent->Load());
    EXPECT_GT(torrent->creation_date(), 1600000000);

    // SHA-1 of the info value's exact bytes, cut out of the file and hashed by another program.
    const std::optional<std::string> bytes = ReadFileBytes(out, 1 << 20);
    ASSERT_TRUE(bytes.has_value());
    const size_t at = bytes->find("4:infod");
    ASSERT_NE(at, std::string::npos);
    ASSERT_TRUE(test::WriteFile(dir / "info.bin", bytes->substr(at + 6, bytes->size() - at - 7)));
    const std::string sha = RunCommand("sha1sum '" + (dir / "info.bin") + "'");
    EXPECT_EQ(sha.substr(0, 40), torrent->info_hash_hex());

    const std::string other = InfoHashByOtherReader(out);
    if (!other.empty()) {
        EXPECT_EQ(other, torrent->info_hash_hex());
    }
}

TEST(Torrent, AddressForms) {
    RecordingTask task;
    TTorrent torrent(&task);
    torrent.SetSourceText("http://kademlia/0123456789abcdef0123456789abcdef01234567");
    EXPECT_FALSE(torrent.Load());
    torrent.SetSourceText("https://example.invalid/x.torrent");
    EXPECT_FALSE(torrent.Load());
    torrent.SetSourceText("seed descriptor text $End$");
    EXPECT_FALSE(torrent.Load());
    EXPECT_EQ(task.status, 0);
    EXPECT_FALSE(task.stop_requested);

    torrent.SetSourceText("file:///nonexistent/kestrelfetch/none.torrent");
    EXPECT_FALSE(torrent.Load());
    EXPECT_EQ(task.status, TTorrent::kStatusMetainfoUnreadable);
    EXPECT_TRUE(task.stop_requested);

    // Bytes held by the task win over the address.
    torrent.SetMetainfoBytes("d8:announce5:http:4:info" + kInfo + "e");
    EXPECT_TRUE(torrent.Load());
    EXPECT_EQ(torrent.announce(), "http:");
}

TEST(Torrent, TopLevelKeysIgnoreCaseAndInfoKeysDoNot) {
    FakeInfoReader reader;
    TTorrent torrent(nullptr, &reader);
    ASSERT_TRUE(Parse(torrent,
                      "D8:ANNOUNCE12:http://a/ann7:COMMENT2:hi13:CREATION DATEi77e4:INFO"
                      "d4:NAME1:x6:LENGTHi5ee"
                      "e"));
    EXPECT_EQ(torrent.announce(), "http://a/ann");
    EXPECT_EQ(torrent.comment(), "hi");
    EXPECT_EQ(torrent.creation_date(), 77);
    EXPECT_TRUE(reader.got_info);
    EXPECT_EQ(reader.name_text, "");
    EXPECT_EQ(reader.length_value, -1);
}

TEST(Torrent, AnnounceCleaning) {
    EXPECT_EQ(TTorrent::CleanTrackerUrl("|http://t.invalid/a|||"), "http://t.invalid/a");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("xx:UDP://t.invalid:80"), "UDP://t.invalid:80");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("x:/ 123"), "");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("||||"), "");

    TTorrent torrent(nullptr);
    ASSERT_TRUE(Parse(torrent, "d8:announce23:| http://t.invalid/a|||4:info" + kInfo + "e"));
    EXPECT_EQ(torrent.announce(), "http://t.invalid/a");
    ASSERT_TRUE(Parse(torrent, "d8:announce5:x:/ 14:info" + kInfo + "e"));
    EXPECT_EQ(torrent.announce(), "");
    EXPECT_EQ(torrent.trackers(), std::vector<std::string>{""});
}

TEST(Torrent, AnnounceListWalk) {
    TTorrent torrent(nullptr);
    ASSERT_TRUE(Parse(torrent,
                      "d8:announce8:http://a13:announce-list"
                      "ll8:http://b7:Tracker8:http://ce"  // Tracker skipped
                      "l8:http://d4:Name8:http://ee"      // Name ends this list
                      "d3:key9:udp://f:1e"                // dictionaries are walked, keys included
                      "l7:TRACKER11: http://g \te"        // only the exact-case word is skipped
                      "e4:info" +
                          kInfo + "e"));
    // Strings without a scheme letter clean down to empty entries.
    EXPECT_EQ(torrent.trackers(),
              (std::vector<std::string>{"http://a", "http://b", "http://c", "http://d", "",
                                        "udp://f:1", "", "http://g"}));
}

TEST(Torrent, InfoHashIgnoresEverythingOutsideInfo) {
    TTorrent first(nullptr);
    TTorrent second(nullptr);
    ASSERT_TRUE(Parse(first, "d8:announce8:http://a4:info" + kInfo + "e"));
    ASSERT_TRUE(Parse(second, "d13:announce-listl8:http://be7:comment1:c4:info" + kInfo + "e"));
    EXPECT_EQ(first.info_hash(), second.info_hash());
    EXPECT_EQ(first.info_hash_hex().size(), 40u);
    // A differently written but equal info value hashes differently: its bytes are what counts.
    TTorrent upper(nullptr);
    std::string info_upper = kInfo;
    info_upper[0] = 'D';
    ASSERT_TRUE(Parse(upper, "d4:info" + info_upper + "e"));
    EXPECT_NE(upper.info_hash(), first.info_hash());
}

TEST(Torrent, ValueSpellingAKeyIsNotTakenForIt) {
    TTorrent torrent(nullptr);
    ASSERT_TRUE(Parse(torrent, "d7:comment4:info9:publisher8:announce4:info" + kInfo + "e"));
    EXPECT_EQ(torrent.comment(), "info");
    EXPECT_EQ(torrent.publisher(), "announce");
    EXPECT_TRUE(torrent.trackers().empty());
}

TEST(Torrent, CodePageSelectionAndConversion) {
    struct Case {
        std::string declaration;
        int32_t code_page;
    } cases[] = {
        {"8:encoding3:gbk", 936},
        {"8:encoding4:big5", 950},
        {"8:encoding3:KOR", 949},
        {"8:encoding9:shift-jis", 932},
        {"8:encoding5:UTF-8", 0},
        {"8:codepagei950e8:encoding3:GBK", 950},
        {"8:encoding3:GBK8:codepagei949e", 949},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declaration);
        TTorrent torrent(nullptr);
        ASSERT_TRUE(Parse(torrent, "d" + c.declaration + "4:info" + kInfo + "e"));
        EXPECT_EQ(torrent.code_page(), c.code_page);
    }

    // GBK texts: the comment and, through the piece map, the name arrive as UTF-8.
    FakeInfoReader reader;
    TTorrent gbk(nullptr, &reader);
    ASSERT_TRUE(Parse(gbk,
                      "d7:comment4:\xb2\xe2\xca\xd4"
                      "8:encoding3:GBK4:infod6:lengthi1e4:name6:"
                      "\xce\xc4\xbc\xfe"
                      "a19:publisher1:pe"
                      "e"));
    EXPECT_EQ(gbk.comment(), "测试");
    EXPECT_EQ(reader.name_text, "文件a1");
    EXPECT_EQ(gbk.publisher(), "p");  // taken from inside info

    // Big5 with the code page preset by the task: a declaration in the file does not change it.
    TTorrent big5(nullptr, &reader);
    big5.SetCodePage(950);
    ASSERT_TRUE(Parse(big5,
                      "d8:encoding3:GBK4:infod4:name4:\xb4\xfa\xb8\xd5"
                      "6:lengthi1eee"));
    EXPECT_EQ(big5.code_page(), 950);
    EXPECT_EQ(reader.name_text, "測試");
}

TEST(Torrent, FailuresLeaveNothingBehind) {
    RecordingTask task;
    FakeInfoReader reader;
    TTorrent torrent(&task, &reader);
    const std::string good =
        "d8:announce8:http://a7:comment1:c13:creation datei9e4:info" + kInfo + "e";
    ASSERT_TRUE(Parse(torrent, good));
    ASSERT_FALSE(torrent.info_hash_hex().empty());

    auto expect_cleared = [&torrent] {
        EXPECT_TRUE(torrent.announce().empty());
        EXPECT_TRUE(torrent.comment().empty());
        EXPECT_EQ(torrent.creation_date(), 0);
        EXPECT_TRUE(torrent.trackers().empty());
        EXPECT_TRUE(torrent.info_hash_hex().empty());
        EXPECT_TRUE(torrent.info_hash_escaped().empty());
        EXPECT_EQ(torrent.info_hash(), TTorrent::InfoHash{});
    };

    reader.answer = false;  // the piece map refuses the layout
    EXPECT_FALSE(Parse(torrent, good));
    expect_cleared();
    reader.answer = true;

    const std::string bad[] = {
        "l4:infoe",
        "d8:announce8:http://ae",           // no info
        "d4:infol1:xee",                    // info is not a dictionary
        "d4:info" + kInfo,                  // truncated
        "d8:announce8:http://a4:infoi5ee",  // integer attached to the key
    };
    for (const std::string& input : bad) {
        SCOPED_TRACE(input);
        ASSERT_TRUE(Parse(torrent, good));
        task.states.clear();
        EXPECT_FALSE(Parse(torrent, input));
        expect_cleared();
        EXPECT_EQ(task.states.empty() ? kf::TaskState::kIdle : task.states.back(),
                  kf::TaskState::kBuildingMap);
    }
    EXPECT_FALSE(Parse(torrent, ""));

    // Without a piece map the info value only has to be a dictionary.
    TTorrent alone(nullptr);
    EXPECT_TRUE(Parse(alone, "d4:infodee"));
    EXPECT_FALSE(Parse(alone, "d4:info1:xe"));
}

}  // namespace
}  // namespace kf
