// Whom a piece that failed its check is put down to: the one peer that sent all of it, or, for a
// piece spoiled among several, the peers whose blocks differ from the good copy.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/task/PieceBlame.h"

namespace {

using kf::PieceBlame;
using kf::PieceIndex;

constexpr uint32_t kA = 0x0A00007F;  // peer addresses, network order
constexpr uint32_t kB = 0x0B00007F;
constexpr uint32_t kC = 0x0C00007F;
constexpr int32_t kBlocks = 4;

std::vector<uint8_t> Good(int32_t block) {
    return std::vector<uint8_t>(64, static_cast<uint8_t>(block + 1));
}
std::vector<uint8_t> Bad(int32_t block) {
    return std::vector<uint8_t>(64, static_cast<uint8_t>(0xF0 - block));
}

// One copy of a piece: per block the sender (0 a server) and whether its bytes are right.
struct Sent {
    uint32_t party;
    bool right;
};

void Deliver(PieceBlame& blame, int32_t piece, const std::vector<Sent>& blocks) {
    for (int32_t b = 0; b < static_cast<int32_t>(blocks.size()); ++b) {
        const Sent& sent = blocks[static_cast<size_t>(b)];
        blame.OnBlock(PieceIndex(piece), b, sent.party, sent.right ? Good(b) : Bad(b));
    }
}

std::vector<uint32_t> Parties(const std::vector<PieceBlame::Charge>& charges) {
    std::vector<uint32_t> parties;
    for (const PieceBlame::Charge& charge : charges) {
        parties.push_back(charge.party);
    }
    return parties;
}

bool Contains(const std::vector<uint32_t>& parties, uint32_t party) {
    return std::find(parties.begin(), parties.end(), party) != parties.end();
}

// Failed copies, then the good one: who is charged at the failures and who once it passes.
TEST(PieceBlame, ChargesTheSenderOfAWholeBadPieceOrTheBlocksThatDiffered) {
    struct Case {
        const char* name;
        std::vector<std::vector<Sent>> failed;
        std::vector<Sent> good;
        std::vector<uint32_t> charged_at_failures;
        std::vector<uint32_t> suspects_of_last;
        std::vector<uint32_t> charged_at_pass;
    };
    const std::vector<Sent> good_from_c(kBlocks, Sent{kC, true});
    const std::vector<Case> cases = {
        {"one peer sent it all",
         {{{kA, false}, {kA, true}, {kA, false}, {kA, true}}},
         good_from_c,
         {kA},
         {kA},
         {}},
        {"the same peer fails the same piece twice: one charge",
         {std::vector<Sent>(kBlocks, Sent{kA, false}), std::vector<Sent>(kBlocks, Sent{kA, false})},
         good_from_c,
         {kA, kA},
         {kA},
         {}},
        {"two peers, one spoiled its block: charged once the piece passes",
         {{{kA, true}, {kB, false}, {kA, true}, {kB, true}}},
         good_from_c,
         {},
         {kA, kB},
         {kB}},
        {"both spoiled blocks over two copies",
         {{{kA, false}, {kB, true}, {kA, true}, {kB, true}},
          {{kB, true}, {kB, true}, {kA, true}, {kB, false}}},
         good_from_c,
         {},
         {kB, kA},
         {kA, kB}},
        {"a server's block is never charged, nor compared",
         {{{0, false}, {kA, true}, {kA, true}, {kA, true}}},
         good_from_c,
         {},
         {kA},
         {}},
        {"a good copy without a digest for the spoiled block judges nothing",
         {{{kA, true}, {kB, false}, {kA, true}, {kA, true}}},
         {{kC, true}},
         {},
         {kA, kB},
         {}},
        {"a peer charged for a whole bad copy is not charged again for the piece",
         {{{kA, false}, {kB, true}, {kA, true}, {kB, true}},
          std::vector<Sent>(kBlocks, Sent{kA, false})},
         good_from_c,
         {kA},
         {kA},
         {}},
        {"nothing known of the senders",
         {std::vector<Sent>(kBlocks, Sent{0, false})},
         good_from_c,
         {},
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PieceBlame blame;
        std::vector<uint32_t> charged;
        PieceBlame::Verdict verdict;
        for (const std::vector<Sent>& copy : c.failed) {
            Deliver(blame, 7, copy);
            verdict = blame.OnFailed(PieceIndex(7), kBlocks);
            if (verdict.charge.party != 0) {
                charged.push_back(verdict.charge.party);
            }
        }
        EXPECT_EQ(charged, c.charged_at_failures);
        EXPECT_EQ(verdict.suspects, c.suspects_of_last);
        Deliver(blame, 7, c.good);
        EXPECT_EQ(Parties(blame.OnPassed(PieceIndex(7))), c.charged_at_pass);
        EXPECT_EQ(blame.PiecesTracked(), 0u);
        for (const uint32_t party : {kA, kB}) {
            const bool charged_once =
                Contains(c.charged_at_failures, party) || Contains(c.charged_at_pass, party);
            EXPECT_EQ(blame.Strikes(party), charged_once ? 1 : 0) << party;
        }
    }
}

// The second charged piece bans, once; charges outlive a replaced piece map; a passing piece
// with no failed copy charges nobody and leaves no record.
TEST(PieceBlame, TheSecondChargedPieceBansOnce) {
    PieceBlame blame;
    const std::vector<Sent> all_bad(kBlocks, Sent{kA, false});
    Deliver(blame, 1, all_bad);
    PieceBlame::Verdict first = blame.OnFailed(PieceIndex(1), kBlocks);
    EXPECT_EQ(first.charge.strikes, 1);
    EXPECT_FALSE(first.charge.ban);

    blame.ForgetPieces();
    Deliver(blame, 2, {{kA, false}, {kB, true}, {kB, true}, {kB, true}});
    EXPECT_EQ(blame.OnFailed(PieceIndex(2), kBlocks).charge.party, 0u);
    Deliver(blame, 2, std::vector<Sent>(kBlocks, Sent{kB, true}));
    const std::vector<PieceBlame::Charge> second = blame.OnPassed(PieceIndex(2));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].party, kA);
    EXPECT_EQ(second[0].strikes, PieceBlame::kBanStrikes);
    EXPECT_TRUE(second[0].ban);

    Deliver(blame, 3, all_bad);
    const PieceBlame::Verdict third = blame.OnFailed(PieceIndex(3), kBlocks);
    EXPECT_EQ(third.charge.strikes, 3);
    EXPECT_FALSE(third.charge.ban) << "banned already";

    Deliver(blame, 4, std::vector<Sent>(kBlocks, Sent{kB, true}));
    EXPECT_TRUE(blame.OnPassed(PieceIndex(4)).empty());
    EXPECT_EQ(blame.Strikes(kB), 0);
    EXPECT_EQ(blame.PiecesTracked(), 1u);  // piece 3, still to be fetched again
}

// A piece that keeps failing among many peers keeps its last kKeptCopies copies only.
TEST(PieceBlame, KeepsTheLatestFailedCopies) {
    PieceBlame blame;
    const uint32_t first_liar = 0x0100007F;
    for (uint32_t i = 0; i < PieceBlame::kKeptCopies + 1; ++i) {
        const uint32_t liar = first_liar + (i << 24);
        Deliver(blame, 5, {{liar, false}, {kB, true}, {kB, true}, {kB, true}});
        EXPECT_EQ(blame.OnFailed(PieceIndex(5), kBlocks).charge.party, 0u);
    }
    Deliver(blame, 5, std::vector<Sent>(kBlocks, Sent{kC, true}));
    const std::vector<uint32_t> charged = Parties(blame.OnPassed(PieceIndex(5)));
    ASSERT_EQ(charged.size(), PieceBlame::kKeptCopies);
    EXPECT_EQ(charged.front(), first_liar + (1u << 24)) << "the oldest copy went";
}

}  // namespace
