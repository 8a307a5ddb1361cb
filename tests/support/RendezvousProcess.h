#pragma once

#include <cstdint>
#include <string>

#include "support/ChildProcess.h"

namespace kf::test {

// Starts the project's kf-rendezvous on `address`:`port` (output to `log`) and waits, at most 5 s,
// until it answers a registration. False when it did not start or never answered.
bool StartRendezvous(ChildProcess& server, const std::string& address, int32_t port,
                     const std::string& log);

}  // namespace kf::test
