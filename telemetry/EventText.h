#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace kf {

// The texts of a telemetry post.
//
//   Members       an object's members as the JSON writer writes them (compact, keys ascending,
//                 UTF-8 bytes as they are, not \u escapes) without the enclosing braces, then a
//                 line end: "\"MachId\":\"…\",\"Mac\":\"…\"\n"
//   Info          "{" + Members(own) + fragment + "}": the caller's fragment starts with a comma
//                 and joins the same object
//   Array         a JSON array written the same way, then a line end
//   FormEncode    ASCII letters and digits kept, a space as "_", every other byte as "%XX"
//                 (upper-case hex)
//
// Threads: any. No limits beyond the callers' own.
class EventText {
  public:
    static std::string Members(const Json::Value& object);
    static std::string Info(const Json::Value& own, std::string_view fragment);
    static std::string Array(const Json::Value& array);
    static std::string FormEncode(std::string_view text);
};

}  // namespace kf
