#pragma once

#include "engine/content/StrongIndex.h"

namespace kf {

// The party that delivered a block to the piece map (a peer object). The piece map remembers it
// only by identity and calls it back, during the delivery that completed a piece, when that piece
// failed its check, so that the peer can count the bad piece and report it.
class DataSource {
  public:
    virtual ~DataSource() = default;
    // `whole_piece`: every block of the failed piece came from this source.
    virtual void OnBadPiece(PieceIndex piece, bool whole_piece) = 0;
};

}  // namespace kf
