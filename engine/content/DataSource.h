#pragma once

#include "engine/content/StrongIndex.h"

namespace kf {

// The party that delivered a block to the piece map (a peer object). The piece map remembers it
// only by identity and calls it back during the delivery that completed a piece: when every block
// of that piece came from it (the source's history of whole pieces, which forgives its
// penalties), and when that piece failed its check, so that the peer can count the bad piece and
// report it.
class DataSource {
  public:
    virtual ~DataSource() = default;
    // Every block of the piece just completed came from this source; told before the check, so a
    // piece that then fails counts both here and in OnBadPiece.
    virtual void OnWholePiece(PieceIndex /*piece*/) {}
    // `whole_piece`: every block of the failed piece came from this source.
    virtual void OnBadPiece(PieceIndex piece, bool whole_piece) = 0;
};

}  // namespace kf
