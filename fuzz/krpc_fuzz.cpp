// libFuzzer target: the KRPC reader on any bytes, and what the node does with a message that it
// took: the answer to it as a query (within the size and rate bounds) and the peers it would add
// to a lookup as a reply.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/dht/DhtPeerStore.h"
#include "engine/dht/DhtResponder.h"
#include "engine/dht/DhtRoutingTable.h"
#include "engine/dht/KrpcMessage.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kf::KrpcMessage;
    const std::optional<KrpcMessage> message =
        KrpcMessage::Parse(std::span<const uint8_t>(data, size));
    if (!message) {
        return 0;
    }
    Check(!message->transaction.empty() &&
          message->transaction.size() <= KrpcMessage::kMaxTransactionId);
    Check(message->nodes.size() % 26 == 0 && message->nodes.size() <= KrpcMessage::kMaxNodes * 26);
    Check(message->values.size() <= KrpcMessage::kMaxValues);
    for (const std::string& value : message->values) {
        Check(value.size() <= KrpcMessage::kMaxValueBytes);
    }
    Check(!message->token || (!message->token->empty() && message->token->size() <= 64));
    if (message->kind == KrpcMessage::Kind::kQuery) {
        kf::NodeId own{};
        own.fill(0x42);
        kf::DhtRoutingTable table(own);
        kf::DhtPeerStore store;
        kf::DhtResponder responder(table, store);
        const std::string answer = responder.Answer(*message, 0x0100007f, 6881, 1);
        Check(answer.size() <= 2000);
        Check(answer.empty() || answer.front() == 'd');
        Check(store.PeerCount() <= 1);
    }
    return 0;
}
