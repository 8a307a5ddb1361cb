// libFuzzer target: the UDP endpoint's dispatch of one received datagram, from the rendezvous
// server and from a stranger: the registration answer, relays, connect answers, punches and the
// tunnelled-session header, and what each parser then reads from it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/udp/UdpWire.h"

namespace {

using kf::UdpWire;

const UdpWire::NodeId kOwn = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

void Check(std::span<const uint8_t> bytes, bool from_server) {
    const UdpWire::Kind kind = UdpWire::Classify(bytes, from_server, kOwn);
    // Whatever only the server may send is never taken from anyone else.
    if (!from_server && (kind == UdpWire::Kind::kRegistrationAnswer ||
                         kind == UdpWire::Kind::kRelay || kind == UdpWire::Kind::kConnectAnswer)) {
        __builtin_trap();
    }
    switch (kind) {
        case UdpWire::Kind::kDht:
            if (bytes.size() <= 8 || bytes[0] != 'd') {
                __builtin_trap();
            }
            break;
        case UdpWire::Kind::kRegistrationAnswer:
            if (!UdpWire::ParseRegistrationAnswer(bytes)) {
                __builtin_trap();
            }
            break;
        case UdpWire::Kind::kRelay:
            if (!UdpWire::ParseRelay(bytes)) {
                __builtin_trap();
            }
            break;
        case UdpWire::Kind::kConnectAnswer: {
            const auto answer = UdpWire::ParseConnectAnswer(bytes);
            if (!answer || UdpWire::IdOfIdentity(answer->identity) != kOwn ||
                UdpWire::kEntriesOffset + answer->entries.size() * UdpWire::kEntryLength >
                    bytes.size()) {
                __builtin_trap();
            }
            break;
        }
        case UdpWire::Kind::kPunch: {
            const auto punch = UdpWire::ParsePunch(bytes);
            if (!punch || UdpWire::IdOfIdentity(punch->receiver) != kOwn) {
                __builtin_trap();
            }
            break;
        }
        case UdpWire::Kind::kSession: {
            const auto header = UdpWire::ParseSessionHeader(bytes, kOwn);
            if (!header || header->length != bytes.size() || header->handle == 0) {
                __builtin_trap();
            }
            break;
        }
        case UdpWire::Kind::kIgnored:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    Check(bytes, true);
    Check(bytes, false);
    // The server's side reads the same bytes as a registration or a connect request.
    if (const auto request = UdpWire::ParseConnectRequest(bytes)) {
        if (request->entries.size() > UdpWire::kMaxConnectEntries) {
            __builtin_trap();
        }
    }
    (void)UdpWire::ParseRegistration(bytes);
    return 0;
}
