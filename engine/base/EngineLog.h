#pragma once

#include <cstdint>
#include <string_view>

#include "engine/base/LogChannel.h"

namespace kf {

// The process-wide engine log: one CKestrelfetchLogApi, created by CreateEngineLog and released by
// ReleaseEngineLog. Every function here may be called from any thread at any time; while no log
// exists writes do nothing.

void CreateGlobalLog();
// Makes the log's process-wide storage exist now, so that it outlives whoever calls this first
// during start-up (objects are destroyed in reverse order of construction).
void TouchLogStorage();
void ReleaseGlobalLog();
void GlobalLogSetThresholds(int32_t file_threshold, int32_t debug_threshold);
void GlobalLogSetPathPrefix(const char* prefix);
void GlobalLogWrite(const char* text, int32_t channel, int32_t level);

// Whether a line on `channel` would reach the debugger output or a file now. Lock-free; ask it
// before building a line, so that lines nobody reads are never formatted.
bool EngineLogWants(LogChannel channel);
// Writes one line on `channel` (the level equals the channel, as everywhere in the engine).
void EngineLogWrite(std::string_view text, LogChannel channel);

}  // namespace kf
