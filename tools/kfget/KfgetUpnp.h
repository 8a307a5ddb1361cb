#pragma once

#include <atomic>
#include <string>

#include "tools/kfget/KfgetOptions.h"

namespace kfget {

// kfget --upnp: the gateway's port mapping through the engine's call interface. The engine must
// be initialised; the mapping is removed by CleanupEngine.
class KfgetUpnp {
  public:
    // Maps the listen port (the --listen-port, else one the engine chooses), waits for the outcome
    // and prints it on stdout. Answers the port to listen on: the mapped or chosen port, or
    // --listen-port; 0 when none could be chosen (the engine's default port).
    static int32_t MapAndReport(const KfgetOptions& options, const std::string& state_file);
    // kfget --upnp with nothing to download: maps, then keeps the mapping until `interrupted` or
    // --timeout, and removes it. Answers the exit code.
    static int RunAlone(const KfgetOptions& options, const std::atomic<bool>& interrupted);
};

}  // namespace kfget
