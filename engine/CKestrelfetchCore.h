#pragma once

namespace kf {

// Starts and stops the services that all tasks share. One static instance lives for the whole
// process; its destructor runs the engine clean-up once more at exit.
class CKestrelfetchCore {
  public:
    CKestrelfetchCore();
    virtual ~CKestrelfetchCore();

    // Run by the task base when the table goes from empty to one task and from one to empty,
    // after the change, outside the table's lock.
    static void FirstTaskStarted();
    static void LastTaskGone();
    // The service part of the engine clean-up, after every task is gone.
    static void StopSharedServices();
};

}  // namespace kf
