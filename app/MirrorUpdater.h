#pragma once

#include "app/ControllerAction.h"
#include "app/ControllerContext.h"

namespace kf::app {

// The resource list at work: asks the fetch worker for it (the expiry check at start, then on
// the speed display's schedule) and applies what came back: the P2P switch, the mirrors of each
// task, and the end of a downloader the maker has withdrawn.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class MirrorUpdater {
  public:
    static constexpr int kExpiryTimeoutSeconds = 2;
    static constexpr int kFetchTimeoutSeconds = 10;

    explicit MirrorUpdater(ControllerContext& context) : context_(context) {}

    // False when no fetch was started (one is still running, or there is no worker).
    bool Request(FetchRequest::Kind kind);
    // -1 the fetch failed, -2 no usable list or no mirror, 0 mirrors were added (the expiry
    // check answers 0 once it has read the list). Every live task's mirror list is emptied
    // before its new mirrors go in, so that none is kept twice and withdrawn ones go.
    int Apply(const action::ResourceListDone& done);

  private:
    ControllerContext& context_;
};

}  // namespace kf::app
