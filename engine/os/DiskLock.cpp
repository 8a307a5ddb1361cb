#include "engine/os/DiskLock.h"

namespace kf::os {

std::mutex& DiskLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace kf::os
