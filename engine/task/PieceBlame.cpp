#include "engine/task/PieceBlame.h"

#include <algorithm>
#include <cstring>

#include "engine/content/Sha1State.h"

namespace kf {
namespace {

constexpr size_t kMaxParties = 255;

uint64_t Digest(std::span<const uint8_t> bytes) {
    const Sha1Digest sha = Sha1State::Of(bytes);
    uint64_t digest = 0;
    std::memcpy(&digest, sha.data(), sizeof(digest));
    return digest | 1;  // never 0, which means none
}

bool Contains(const std::vector<uint32_t>& parties, uint32_t party) {
    return std::find(parties.begin(), parties.end(), party) != parties.end();
}

}  // namespace

void PieceBlame::OnBlock(PieceIndex piece, int32_t block, uint32_t party,
                         std::span<const uint8_t> bytes) {
    if (block < 0) {
        return;
    }
    Piece& entry = pieces_[piece.value()];
    Copy& copy = entry.current;
    uint8_t mark = 0;
    if (party != 0) {
        const auto known = std::find(copy.parties.begin(), copy.parties.end(), party);
        if (known != copy.parties.end()) {
            mark = static_cast<uint8_t>(known - copy.parties.begin() + 1);
        } else if (copy.parties.size() < kMaxParties) {
            copy.parties.push_back(party);
            mark = static_cast<uint8_t>(copy.parties.size());
        }
    }
    const auto at = static_cast<size_t>(block);
    if (copy.block_party.size() <= at) {
        copy.block_party.resize(at + 1, 0);
        copy.block_digest.resize(at + 1, 0);
    }
    copy.block_party[at] = mark;
    // A digest is of use for a block a peer may be charged for, or to judge the failed copies.
    copy.block_digest[at] = mark != 0 || !entry.failed.empty() ? Digest(bytes) : 0;
}

PieceBlame::Charge PieceBlame::ChargeFor(Piece& piece, uint32_t party) {
    if (Contains(piece.charged, party)) {
        return Charge{party, Strikes(party), false};
    }
    piece.charged.push_back(party);
    const int32_t strikes = ++strikes_[party];
    return Charge{party, strikes, strikes == kBanStrikes};
}

PieceBlame::Verdict PieceBlame::OnFailed(PieceIndex piece, int32_t blocks) {
    Verdict verdict;
    const auto found = pieces_.find(piece.value());
    if (found == pieces_.end()) {
        return verdict;
    }
    Piece& entry = found->second;
    Copy copy = std::move(entry.current);
    entry.current = Copy();
    // A block without a record came from nobody known: then nobody had the whole piece.
    bool one_party = blocks > 0 && copy.block_party.size() >= static_cast<size_t>(blocks);
    for (int32_t i = 0; one_party && i < blocks; ++i) {
        const uint8_t mark = copy.block_party[static_cast<size_t>(i)];
        one_party = mark != 0 && mark == copy.block_party[0];
    }
    if (one_party) {
        verdict.charge = ChargeFor(entry, copy.parties[copy.block_party[0] - 1u]);
        verdict.suspects = {verdict.charge.party};
        return verdict;
    }
    verdict.suspects = copy.parties;
    if (!copy.parties.empty()) {
        if (entry.failed.size() >= kKeptCopies) {
            entry.failed.erase(entry.failed.begin());
        }
        entry.failed.push_back(std::move(copy));
    }
    if (entry.failed.empty() && entry.charged.empty()) {
        pieces_.erase(found);
    }
    return verdict;
}

std::vector<PieceBlame::Charge> PieceBlame::OnPassed(PieceIndex piece) {
    std::vector<Charge> charges;
    const auto found = pieces_.find(piece.value());
    if (found == pieces_.end()) {
        return charges;
    }
    Piece& entry = found->second;
    const Copy& good = entry.current;
    for (const Copy& failed : entry.failed) {
        const size_t blocks = std::min(failed.block_party.size(), good.block_digest.size());
        for (size_t i = 0; i < blocks; ++i) {
            const uint8_t mark = failed.block_party[i];
            if (mark == 0 || good.block_digest[i] == 0 ||
                failed.block_digest[i] == good.block_digest[i]) {
                continue;
            }
            const uint32_t party = failed.parties[mark - 1u];
            if (!Contains(entry.charged, party)) {
                charges.push_back(ChargeFor(entry, party));
            }
        }
    }
    pieces_.erase(found);
    return charges;
}

int32_t PieceBlame::Strikes(uint32_t party) const {
    const auto found = strikes_.find(party);
    return found != strikes_.end() ? found->second : 0;
}

}  // namespace kf
