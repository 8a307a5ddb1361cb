#include "app/platform/EmbeddedFiles.h"

namespace kf::app {

std::string_view EmbeddedFiles::Find(std::string_view name) {
    for (const Entry& entry : All()) {
        if (entry.name == name) {
            return entry.bytes;
        }
    }
    return {};
}

}  // namespace kf::app
