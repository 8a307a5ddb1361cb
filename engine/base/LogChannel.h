#pragma once

#include <cstdint>

namespace kf {

// The engine log's channels. A line's channel chooses its file (ten channels below have a file of
// their own, every other one writes the main ".log") and, as the line's level, whether it goes to
// the debugger output. With the starting thresholds (file 38, debug 2) only kDump reaches a file
// and kTrace reaches nothing.
enum class LogChannel : int32_t {
    kTrace = 1,            // peer state changes: seen only when the debug threshold is lowered
    kRestart = 2,          // a task restarts
    kStartup = 3,          // application start-up and port mapping
    kRequest = 4,          // ".req.log": requests sent to proxies
    kApplication = 7,      // application and UDP endpoint
    kCheckPeer = 9,        // ".checkpeer.log"
    kInvalidIp = 13,       // a host text that is no usable address
    kPeerPreference = 18,  // ".peerprefer.log"
    kServiceStop = 22,     // shared service threads stopping
    kTask = 23,            // task creation, recovery and completion
    kHttpTrace = 25,       // ".httptrace.log"
    kDataUpload = 28,      // ".dataupload.log": the download report upload
    kWritten = 29,         // ".written.log"; also host names that cannot be resolved
    kSha1Check = 30,       // ".sha1check.log": pieces that failed their hash
    kPeerInfo = 31,        // ".peerinfo.log": why a peer ended
    kMessage = 34,         // messages shown to the user
    kCheckTask = 37,       // ".checktask.log"
    kDump = 38,            // ".dump.log": failures worth keeping
};

constexpr int32_t ChannelNumber(LogChannel channel) {
    return static_cast<int32_t>(channel);
}

}  // namespace kf
