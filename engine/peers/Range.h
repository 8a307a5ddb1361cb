#pragma once

#include <cstdint>

#include "engine/base/TRefObject.h"

namespace kf {

class TPeerId;
struct PeerWork;

// A run of pieces [start, end] of the content. Ranges of HTTP and FTP sources sit in the task's
// range list and are worked upward from `current`; a BitTorrent peer's private range is owned by
// that peer and handed out downward.
struct Range {
    int32_t start = 0;
    int32_t end = 0;
    int32_t current = 0;
    bool done = false;
    bool redo = false;            // some piece was still wanted when its holder reached the end
    bool taken_by_stall = false;  // taken from a holder that stalled on its first piece
    bool is_private = false;
    int64_t assigned_at = 0;     // engine seconds
    RefPtr<TRefObject> source;   // the server source's candidate record (a TPeerId)
    PeerWork* holder = nullptr;  // the connection working on it; null while free
    int32_t blocks_received = 0;
};

}  // namespace kf
