#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/kestrelfetch.h"

namespace kf::test {

// Takes the engine's notices while it lives (the engine has one callback, so one recorder at a
// time); every notice is kept.
class NoticeRecorder {
  public:
    struct Notice {
        int32_t kind = 0;
        KfTaskHandle task = nullptr;
        std::string address;
        int64_t number = 0;
        std::string text;
    };

    NoticeRecorder();
    ~NoticeRecorder();
    NoticeRecorder(const NoticeRecorder&) = delete;
    NoticeRecorder& operator=(const NoticeRecorder&) = delete;

    std::vector<Notice> Taken();
    // The notices of one kind.
    std::vector<Notice> OfKind(int32_t kind);

  private:
    static void OnNotice(void* context, const KfNotice* notice);

    std::mutex mutex_;
    std::vector<Notice> notices_;
};

}  // namespace kf::test
