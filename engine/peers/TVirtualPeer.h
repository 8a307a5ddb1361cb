#pragma once

namespace kf {

// The interface base of every peer object: the five operations that each kind of peer defines
// (TPeerObject gives the defaults of all but Receive). A false answer asks the task to drop the
// peer; none of them throws.
class TVirtualPeer {
  public:
    virtual ~TVirtualPeer() = default;
    // Reads from the connection and processes what arrived.
    virtual bool Receive() = 0;
    // Sends queued bytes.
    virtual bool Flush() = 0;
    // Queues block requests (or, for a tracker, decides whether to announce).
    virtual bool PlanRequests() = 0;
    // BitTorrent: answers the remote side's block requests.
    virtual bool ServeUploads() = 0;
    // Gives everything back to the task and returns the object to its reusable state.
    virtual void Reset() = 0;
};

}  // namespace kf
