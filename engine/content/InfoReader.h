#pragma once

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
};

}  // namespace kf
