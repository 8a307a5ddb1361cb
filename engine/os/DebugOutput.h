#pragma once

#include <functional>
#include <string_view>

namespace kf {

// The debugger-output sink of the engine log. Silent by default; with KESTRELFETCH_DEBUG=1 in the
// environment lines go to stderr. Tests may attach a capture (an empty function detaches it).
void WriteDebugOutput(std::string_view line);
void SetDebugOutputCapture(std::function<void(std::string_view)> capture);

}  // namespace kf
