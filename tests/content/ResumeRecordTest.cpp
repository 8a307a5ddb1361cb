// The resume record's bytes and its own acceptance rules, and the task's resume file.

#include "engine/content/ResumeRecord.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/base/Adler32.h"
#include "engine/content/ResumeFile.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

Sha1Digest Hash(char fill) {
    Sha1Digest h;
    h.fill(static_cast<uint8_t>(fill));
    return h;
}

ResumeRecord Sample() {
    ResumeRecord r;
    r.info_hash = Hash('H');
    r.files.push_back({"/d/a.kftmp", 5, 0, 1000, 0});
    r.files.push_back({"/d/b", 0, 0, -1, -3});
    ResumeRecord::PieceState piece;
    piece.index = 0;
    piece.part = 16384;
    piece.status.fill('x');
    r.pieces.push_back(piece);
    piece.index = 3;
    r.pieces.push_back(piece);
    r.bitfield = {0x40};  // piece 1 of 4
    return r;
}

TEST(ResumeRecord, EncodesByteForByte) {
    const std::string status(104, 'x');
    const std::string crc0 = std::to_string(Adler32(0, Bytes(status)));
    const std::string crc3 = std::to_string(Adler32(3, Bytes(status)));
    const std::string expected = "d8:infohash20:" + std::string(20, 'H') +
                                 "10:/d/a.kftmp3:Lowi5e4:High4:Sizei1000e8:Priority"
                                 "4:/d/b3:Low4:High4:Sizei-1e8:Priorityi-3e"
                                 "11:PieceStatusl"
                                 "d5:Index4:Parti16384e6:Status104:" +
                                 status + "5:CRC32i" + crc0 +
                                 "ee"
                                 "d5:Indexi3e4:Parti16384e6:Status104:" +
                                 status + "5:CRC32i" + crc3 +
                                 "ee"
                                 "e8:BitField1:\x40"
                                 "e";
    EXPECT_EQ(Sample().Encode(), expected);
}

TEST(ResumeRecord, DecodeFindsFilesByPathOrFinalPath) {
    const std::string bytes = Sample().Encode();
    const Sha1Digest hash = Hash('H');
    const std::vector<ResumeRecord::FileQuery> queries = {{"/d/A.KFTMP", ""},
                                                          {"/d/b.kftmp", "/d/b"}};
    const auto d = ResumeRecord::Decode(Bytes(bytes), &hash, queries, 4);
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->files.size(), 2u);
    EXPECT_EQ(d->files[0].time_low, 5u);
    EXPECT_EQ(d->files[0].size, 1000);
    EXPECT_EQ(d->files[0].priority, 0);
    EXPECT_EQ(d->files[1].size, -1);
    EXPECT_FALSE(d->files[1].priority.has_value());  // -3 is not a wanted priority
    EXPECT_EQ(d->bitfield, std::vector<uint8_t>{0x40});
    ASSERT_EQ(d->pieces.size(), 2u);
    EXPECT_EQ(d->pieces[0].index, 0);
    EXPECT_EQ(d->pieces[1].index, 3);
    EXPECT_EQ(d->pieces[1].part, 16384);
}

TEST(ResumeRecord, DecodeRefusesRecordsThatDoNotFit) {
    const std::string bytes = Sample().Encode();
    const Sha1Digest hash = Hash('H');
    const Sha1Digest other = Hash('O');
    const std::vector<ResumeRecord::FileQuery> queries = {{"/d/a.kftmp", ""}, {"/d/b", ""}};
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(bytes), &other, queries, 4));
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(bytes), nullptr, queries, 4));
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(bytes), &hash, queries, 9));  // bitfield size
    const std::vector<ResumeRecord::FileQuery> unknown = {{"/d/c", "/d/c2"}};
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(bytes), &hash, unknown, 4));
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(bytes.substr(0, bytes.size() - 1)), &hash, queries, 4));
    std::string no_high = bytes;
    no_high.replace(no_high.find("4:High4:Sizei1000e"), 6, "4:Hugh");
    EXPECT_FALSE(ResumeRecord::Decode(Bytes(no_high), &hash, queries, 4));

    // Without a stored info-hash the record is taken for any content.
    ResumeRecord anonymous = Sample();
    anonymous.info_hash.reset();
    EXPECT_TRUE(ResumeRecord::Decode(Bytes(anonymous.Encode()), nullptr, queries, 4));
}

TEST(ResumeRecord, BadPieceEntriesAreSkippedOneByOne) {
    ResumeRecord r = Sample();
    r.pieces[0].index = 1;  // set in the bitfield
    ResumeRecord::PieceState far = r.pieces[1];
    far.index = 4;  // past the last piece
    r.pieces.push_back(far);
    ResumeRecord::PieceState empty = r.pieces[1];
    empty.index = 2;
    empty.part = 0;
    r.pieces.push_back(empty);
    std::string bytes = r.Encode();
    const Sha1Digest hash = Hash('H');
    const std::vector<ResumeRecord::FileQuery> queries = {{"/d/a.kftmp", ""}};
    auto d = ResumeRecord::Decode(Bytes(bytes), &hash, queries, 4);
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->pieces.size(), 1u);
    EXPECT_EQ(d->pieces[0].index, 3);

    // A wrong checksum loses that entry only.
    const std::string crc3 = "5:CRC32i" + std::to_string(Adler32(3, Bytes(std::string(104, 'x'))));
    bytes.replace(bytes.find(crc3), crc3.size(), "5:CRC32i1");
    d = ResumeRecord::Decode(Bytes(bytes), &hash, queries, 4);
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->pieces.empty());
    EXPECT_EQ(d->bitfield, std::vector<uint8_t>{0x40});
}

TEST(ResumeFile, SavesOnlyChangesAndTakesOnlyPartsLongerThanTwoBytes) {
    test::TempDir dir;
    const std::string path = dir / "res/task.kfinfo";
    ResumeFile file(os::FileSystem::Default(), path);
    EXPECT_FALSE(file.Load());
    EXPECT_TRUE(file.Save());  // nothing changed: nothing written
    EXPECT_FALSE(test::FileExists(path));
    file.SetTorrent("d4:infod");
    file.SetBits("d3:abce");
    EXPECT_TRUE(file.dirty());
    ASSERT_TRUE(file.Save());
    EXPECT_FALSE(file.dirty());
    EXPECT_EQ(test::ReadWholeFile(path), "d4:bits7:d3:abce7:torrent8:d4:infode");
    EXPECT_FALSE(test::FileExists(path + ".tmp"));

    ASSERT_TRUE(test::WriteFile(path, "d4:bits2:de4:part3:le35:seeds5:12345e"));
    ResumeFile again(os::FileSystem::Default(), path);
    ASSERT_TRUE(again.Load());
    EXPECT_TRUE(again.bits().empty());
    EXPECT_EQ(again.part(), "le3");
    EXPECT_EQ(again.seeds(), "12345");
    again.SetBits("xyz");
    ASSERT_TRUE(again.Save());
    EXPECT_EQ(test::ReadWholeFile(path), "d4:bits3:xyz4:part3:le35:seeds5:12345e");

    ASSERT_TRUE(test::WriteFile(path, "not bencode"));
    EXPECT_FALSE(again.Load());
    EXPECT_TRUE(again.seeds().empty());
    EXPECT_TRUE(again.Remove());
    EXPECT_FALSE(test::FileExists(path));
}

}  // namespace
}  // namespace kf
