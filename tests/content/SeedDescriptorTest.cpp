// Seed descriptors: parsing, the metainfo values they give the torrent, and a piece map without
// digests.

#include "engine/content/SeedDescriptor.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

const std::string kHash = "0123456789abcdef0123456789ABCDEF01234567";

std::string Descriptor(const std::string& size, const std::string& length,
                       const std::string& tracker) {
    return "$Hash$" + kHash + "$Size$" + size + "$Length$" + length + "$Tracker$" + tracker +
           "$End$";
}

TEST(SeedDescriptor, ReadsItsFiveMarkers) {
    const auto d =
        SeedDescriptor::Parse("junk " + Descriptor(" 100", "+64xyz", "http$$$host/announce$$$x"));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->info_hash_hex, kHash);  // case kept as written
    EXPECT_EQ(d->info_hash[0], 0x01);
    EXPECT_EQ(d->info_hash[15], 0xEF);
    EXPECT_EQ(d->size, 100);
    EXPECT_EQ(d->piece_length, 64);
    EXPECT_EQ(d->PieceCount(), 2);
    EXPECT_EQ(d->tracker, "http://host/announce$$$x");
    // Raw bytes 0x01 0x23 0x45 ...: "E" (0x45) and "g" (0x67) are letters, the rest is escaped.
    EXPECT_EQ(d->info_hash_escaped.substr(0, 12), "%01%23Eg%89%");

    // Upper- and lower-case hex give the same bytes.
    std::string lower = Descriptor("100", "64", "t");
    for (char& ch : lower) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    lower.replace(lower.find("$hash$"), 6, "$Hash$");
    lower.replace(lower.find("$size$"), 6, "$Size$");
    lower.replace(lower.find("$length$"), 8, "$Length$");
    lower.replace(lower.find("$tracker$"), 9, "$Tracker$");
    lower.replace(lower.find("$end$"), 5, "$End$");
    EXPECT_EQ(SeedDescriptor::Parse(lower)->info_hash, d->info_hash);
    // "$$$" at the very start of the tracker is not the scheme separator.
    EXPECT_EQ(SeedDescriptor::Parse(Descriptor("1", "1", "$$$a$$$b"))->tracker, "$$$a://b");
}

TEST(SeedDescriptor, RefusesIncompleteOrUnusableTexts) {
    const std::string good = Descriptor("100", "64", "t");
    for (const char* marker : {"$Hash$", "$Size$", "$Length$", "$Tracker$", "$End$"}) {
        std::string missing = good;
        missing.erase(missing.find(marker), std::string(marker).size());
        EXPECT_FALSE(SeedDescriptor::Parse(missing).has_value()) << marker;
    }
    EXPECT_FALSE(SeedDescriptor::Parse("$End$" + good.substr(0, good.size() - 5)).has_value());
    EXPECT_FALSE(SeedDescriptor::Parse(Descriptor("100", "0", "t")).has_value());
    EXPECT_FALSE(SeedDescriptor::Parse(Descriptor("-5", "64", "t")).has_value());
    EXPECT_FALSE(SeedDescriptor::Parse(Descriptor("0x10", "64", "t")).has_value());
    std::string short_hash = good;
    short_hash.replace(6, 40, "0123");
    EXPECT_FALSE(SeedDescriptor::Parse(short_hash).has_value());
    std::string bad_hex = good;
    bad_hex[10] = 'g';
    EXPECT_FALSE(SeedDescriptor::Parse(bad_hex).has_value());
}

TEST(SeedDescriptor, TorrentLoadLaysOutOneFileVerifiedOnceWritten) {
    test::TempDir dir;
    test::RecordingTaskLink task;
    PiecesParams params;
    params.target_folder = dir / "dl";
    params.spill_path = dir / "task.kfinfodf";
    const std::string data = test::RandomBytes(100000, 31);
    {
        RefPtr<TPieces> p = RefPtr<TPieces>::Make(&task, params);
        p->torrent()->SetSourceText(Descriptor("100000", "32768", "udp$$$tracker:80"));
        ASSERT_TRUE(p->torrent()->Load());
        EXPECT_EQ(task.states, (std::vector<kf::TaskState>{kf::TaskState::kBuildingMap,
                                                           kf::TaskState::kRunning}));
        EXPECT_EQ(p->torrent()->info_hash_hex(), kHash);
        EXPECT_EQ(p->torrent()->trackers(), std::vector<std::string>{"udp://tracker:80"});
        EXPECT_FALSE(p->has_digests());
        EXPECT_EQ(p->piece_count(), 4);
        EXPECT_EQ(p->File(FileIndex(0)).final_path, dir / "dl/001.kfinfo");
        EXPECT_EQ(p->Progress().checked_bytes, 100000);

        // Any data counts once written in full; nothing is verified before.
        ASSERT_TRUE(test::Feed(*p, data, {2, 0}));
        EXPECT_EQ(p->Progress().verified_pieces, 0);
        ASSERT_TRUE(p->WriteHeldPieces());
        EXPECT_EQ(p->Progress().verified_pieces, 2);
        ASSERT_TRUE(p->Close(true, false));
        ASSERT_FALSE(task.LastBytes(1001).empty());
    }
    // Without digests a later start cannot check the disk: only the resume record tells.
    params.resume_bytes = task.LastBytes(1001);
    RefPtr<TPieces> resumed = RefPtr<TPieces>::Make(&task, params);
    resumed->torrent()->SetSourceText(Descriptor("100000", "32768", "t"));
    ASSERT_TRUE(resumed->torrent()->Load());
    EXPECT_TRUE(resumed->IsVerified(PieceIndex(0)));
    EXPECT_TRUE(resumed->IsVerified(PieceIndex(2)));
    EXPECT_EQ(resumed->Progress().verified_pieces, 2);
    params.resume_bytes.clear();
    RefPtr<TPieces> rechecked = RefPtr<TPieces>::Make(&task, params);
    rechecked->torrent()->SetSourceText(Descriptor("100000", "32768", "t"));
    ASSERT_TRUE(rechecked->torrent()->Load());
    EXPECT_EQ(rechecked->Progress().verified_pieces, 0);

    // A layout that does not finish (here: the task is stopping) fails the load.
    task.stop_requested = true;
    RefPtr<TPieces> stopped = RefPtr<TPieces>::Make(&task, params);
    stopped->torrent()->SetSourceText(Descriptor("100000", "32768", "t"));
    EXPECT_FALSE(stopped->torrent()->Load());
}

}  // namespace
}  // namespace kf
