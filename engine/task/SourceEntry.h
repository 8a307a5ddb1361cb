#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// One line of a task's source text with its use mark.
struct SourceEntry {
    enum Mark : int32_t {
        kFresh = 0,
        kTorrentLine = 1,  // the BT task's torrent location
        kUsed = 16,        // added as a source
        kTorrentLineUsed = 17,
    };
    std::string text;  // trimmed; empty entries never become sources
    int32_t mark = kFresh;
};

// Splits a text into lines (ended by CR, LF or CR LF; the last needs no line end), each trimmed of
// leading and trailing bytes 1..32. An empty line gives an empty entry. A null text gives none.
std::vector<std::string> SplitSourceLines(const char* text);

}  // namespace kf
