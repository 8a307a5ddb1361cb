#pragma once

#include <cstdint>

namespace kf {

// The log interface that application and engine write through.
class CKestrelfetchLog {
  public:
    virtual ~CKestrelfetchLog() = default;
    virtual void SetThresholds(int32_t file_threshold, int32_t debug_threshold) = 0;
    virtual void SetPathPrefix(const char* prefix) = 0;
    virtual void Write(const char* text, int32_t channel, int32_t level) = 0;
    virtual void DebugPrintf(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

}  // namespace kf
