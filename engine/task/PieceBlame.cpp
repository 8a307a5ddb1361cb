#include "engine/task/PieceBlame.h"

#include <algorithm>

namespace kf {
namespace {

constexpr size_t kMaxParties = 255;

}  // namespace

void PieceBlame::OnBlock(PieceIndex piece, int32_t block, uint32_t party) {
    if (block < 0) {
        return;
    }
    Record& record = pieces_[piece.value()];
    uint8_t mark = 0;
    if (party != 0) {
        const auto known = std::find(record.parties.begin(), record.parties.end(), party);
        if (known != record.parties.end()) {
            mark = static_cast<uint8_t>(known - record.parties.begin() + 1);
        } else if (record.parties.size() < kMaxParties) {
            record.parties.push_back(party);
            mark = static_cast<uint8_t>(record.parties.size());
        }
    }
    if (record.block_party.size() <= static_cast<size_t>(block)) {
        record.block_party.resize(static_cast<size_t>(block) + 1, 0);
    }
    record.block_party[static_cast<size_t>(block)] = mark;
}

PieceBlame::Verdict PieceBlame::OnFailed(PieceIndex piece, int32_t blocks) {
    Verdict verdict;
    const auto found = pieces_.find(piece.value());
    if (found == pieces_.end()) {
        return verdict;
    }
    const Record record = std::move(found->second);
    pieces_.erase(found);
    verdict.suspects = record.parties;
    // A block without a record came from nobody known: then nobody had the whole piece.
    bool one_party = blocks > 0 && record.block_party.size() >= static_cast<size_t>(blocks);
    for (int32_t i = 0; one_party && i < blocks; ++i) {
        const uint8_t mark = record.block_party[static_cast<size_t>(i)];
        one_party = mark != 0 && mark == record.block_party[0];
    }
    if (!one_party) {
        return verdict;
    }
    verdict.charged = record.parties[record.block_party[0] - 1u];
    verdict.strikes = ++strikes_[verdict.charged];
    verdict.ban = verdict.strikes == kBanStrikes;
    verdict.suspects = {verdict.charged};
    return verdict;
}

void PieceBlame::OnPassed(PieceIndex piece) {
    pieces_.erase(piece.value());
}

int32_t PieceBlame::Strikes(uint32_t party) const {
    const auto found = strikes_.find(party);
    return found != strikes_.end() ? found->second : 0;
}

}  // namespace kf
