#pragma once

#include <cstdint>

namespace kf {

class QElement;

// Receives the "info" dictionary of a metainfo file once the outer keys have been read. The piece
// map implements it to lay out its files and pieces; the metainfo reader does not own it.
class InfoReader {
public:
    virtual ~InfoReader() = default;
    // `info` is the info dictionary as parsed (its code page already applied), or null when the
    // metainfo has none. Answers false when the layout is refused.
    virtual bool ParseInfo(const QElement* info) = 0;
    // A source that names only the content's size and piece length (the seed descriptor): one
    // file is laid out without piece digests. Answers false when the layout is refused.
    virtual bool LayOutWithoutDigests(int64_t size, int32_t piece_length) {
        (void)size;
        (void)piece_length;
        return false;
    }
};

}  // namespace kf
