#pragma once

#include <span>
#include <string_view>

namespace kf::app {

// The files built into the program: everything under app/platform/resources/, turned into byte
// arrays by CMake at build time (EmbedFiles.cmake). Read-only data of static lifetime; any thread.
class EmbeddedFiles {
  public:
    struct Entry {
        std::string_view name;  // the file's name in resources/
        std::string_view bytes;
    };

    static std::span<const Entry> All();
    // The bytes of the file called `name`; empty when there is none.
    static std::string_view Find(std::string_view name);
};

}  // namespace kf::app
