#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kf::test {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and read back), or 0.
// Another process may take it before the caller binds it; callers that start a server retry.
int32_t FreeTcpPort();

// A TCP socket listening on a free port of 127.0.0.1 (written to `port`), or -1.
int ListenOnLoopback(int backlog, int32_t* port);

// Waits until something accepts TCP connections on 127.0.0.1:`port`, trying every few
// milliseconds for at most `timeout`.
bool WaitForPort(int32_t port, std::chrono::milliseconds timeout);

// A port that was free a moment ago on `address` (a 127/8 address) for both TCP and UDP, as
// peers that listen on both need; 0 when none was found.
int32_t FreeTcpUdpPort(const std::string& address);

}  // namespace kf::test
