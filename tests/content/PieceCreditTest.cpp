// The piece map's credit to the sources of whole pieces: a server's history of whole pieces
// forgives its penalties, so a source that delivers but keeps dropping its connections is not
// starved.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

constexpr int32_t B = kBlockSize;
constexpr int32_t kPiece = 4 * B;

struct CreditedSource : DataSource {
    void OnWholePiece(PieceIndex piece) override { whole.push_back(piece.value()); }
    void OnBadPiece(PieceIndex piece, bool) override { bad.push_back(piece.value()); }
    std::vector<int64_t> whole;
    std::vector<int64_t> bad;
};

class PieceCredit : public ::testing::Test {
  protected:
    void SetUp() override {
        params_.target_folder = dir_ / "dl";
        stream_ = test::RandomBytes(4 * kPiece, 5);
        bool ok = false;
        pieces_ = test::LoadPieces(
            &task_, params_,
            test::HandMadeMetainfo("data.bin", kPiece, static_cast<int64_t>(stream_.size()), {},
                                   stream_),
            &ok);
        ASSERT_TRUE(ok);
    }

    int64_t Add(int64_t offset, DataSource* source, const std::string& bytes) {
        return pieces_->AddData(
            offset, {reinterpret_cast<const uint8_t*>(bytes.data()) + offset, B}, source, nullptr);
    }

    test::TempDir dir_;
    test::RecordingTaskLink task_;
    PiecesParams params_;
    std::string stream_;
    RefPtr<TPieces> pieces_;
};

TEST_F(PieceCredit, OnlyASourceThatGaveEveryBlockIsCredited) {
    CreditedSource one, other;
    // Piece 0 wholly from one source: credited once, when it completes.
    for (int64_t at = 0; at < kPiece; at += B) {
        EXPECT_TRUE(one.whole.empty());
        Add(at, &one, stream_);
    }
    EXPECT_EQ(one.whole, std::vector<int64_t>{0});

    // Piece 1 from two sources: nobody's whole piece.
    Add(kPiece, &other, stream_);
    for (int64_t at = kPiece + B; at < 2 * kPiece; at += B) {
        Add(at, &one, stream_);
    }
    EXPECT_EQ(one.whole, std::vector<int64_t>{0});
    EXPECT_TRUE(other.whole.empty());

    // A bad piece from one source is one of its whole pieces and one of its bad ones.
    std::string spoiled = stream_;
    spoiled[2 * kPiece + 7] ^= 0x40;
    for (int64_t at = 2 * kPiece; at < 3 * kPiece; at += B) {
        Add(at, &other, spoiled);
    }
    EXPECT_EQ(other.whole, std::vector<int64_t>{2});
    EXPECT_EQ(other.bad, std::vector<int64_t>{2});
    EXPECT_TRUE(one.bad.empty());
}

}  // namespace
}  // namespace kf
