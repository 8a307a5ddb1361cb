#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/kestrelfetch.h"

namespace kf::test {

// Takes the engine's notices for as long as it lives (SetEngineNoticeCallback at construction,
// switched off at destruction). Notices come on engine threads; every call here is thread-safe.
// One recorder at a time: the engine has one callback.
class NoticeRecorder {
  public:
    NoticeRecorder();
    ~NoticeRecorder();
    NoticeRecorder(const NoticeRecorder&) = delete;
    NoticeRecorder& operator=(const NoticeRecorder&) = delete;

    // Every notice so far, oldest first.
    std::vector<KfNotice> All() const;
    // The notices of `kind` so far, oldest first.
    std::vector<KfNotice> OfKind(int32_t kind) const;
    // One line per notice, for messages when a test fails.
    std::string Text() const;

  private:
    static void Take(void* context, const KfNotice* notice);

    mutable std::mutex mutex_;
    std::vector<KfNotice> notices_;
};

}  // namespace kf::test
