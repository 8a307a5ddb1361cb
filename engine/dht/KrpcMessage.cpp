#include "engine/dht/KrpcMessage.h"

#include <string_view>

#include "engine/content/Bencode.h"
#include "engine/dht/DhtNode.h"

namespace kf {
namespace {

// The string value of `key`, when it is a plain string (not a container, no integer).
const QElement* StringValue(const QElement& dictionary, std::string_view key) {
    const QElement* value = dictionary.FindValue(key);
    if (value == nullptr || value->Kind() != ElementKind::kString || value->HasInteger() ||
        !value->IsValid()) {
        return nullptr;
    }
    return value;
}

std::optional<NodeId> IdValue(const QElement& dictionary, std::string_view key) {
    const QElement* value = StringValue(dictionary, key);
    if (value == nullptr || value->Bytes().size() != 20) {
        return std::nullopt;
    }
    return IdFromBytes(value->Bytes());
}

void ReadValues(const QElement& values, KrpcMessage& message) {
    message.has_values = true;
    const auto take = [&message](const QElement& item) {
        if (item.Kind() == ElementKind::kString &&
            message.values.size() < KrpcMessage::kMaxValues) {
            const std::string_view bytes = item.Bytes();
            message.values.emplace_back(bytes.substr(0, KrpcMessage::kMaxValueBytes));
        }
    };
    if (values.Kind() == ElementKind::kString) {
        take(values);
        return;
    }
    if (values.Kind() != ElementKind::kList) {
        return;
    }
    const int32_t count = values.Count();
    for (int32_t i = 0; i < count && message.values.size() < KrpcMessage::kMaxValues; ++i) {
        take(*values.ChildAt(i));
    }
}

}  // namespace

std::optional<KrpcMessage> KrpcMessage::Parse(std::span<const uint8_t> datagram) {
    const std::unique_ptr<QElement> root = ParseValue(datagram);
    if (!root || root->Kind() != ElementKind::kDictionary) {
        return std::nullopt;
    }
    const QElement* y = StringValue(*root, "y");
    const QElement* t = StringValue(*root, "t");
    if (y == nullptr || y->Bytes().empty() || t == nullptr || t->Bytes().empty() ||
        t->Bytes().size() > kMaxTransactionId) {
        return std::nullopt;
    }
    KrpcMessage message;
    const QElement* body = nullptr;
    if (y->Bytes()[0] == 'q') {
        const QElement* method = StringValue(*root, "q");
        if (method == nullptr || method->Bytes().size() > kMaxMethod) {
            return std::nullopt;
        }
        message.kind = Kind::kQuery;
        message.method = method->Bytes();
        body = root->FindValue("a");
    } else if (y->Bytes()[0] == 'r') {
        message.kind = Kind::kReply;
        body = root->FindValue("r");
    } else {
        return std::nullopt;
    }
    if (body == nullptr || body->Kind() != ElementKind::kDictionary) {
        return std::nullopt;
    }
    const std::optional<NodeId> sender = IdValue(*body, "id");
    if (!sender) {
        return std::nullopt;
    }
    message.transaction = t->Bytes();
    message.sender = *sender;
    message.target = IdValue(*body, "target");
    message.info_hash = IdValue(*body, "info_hash");
    if (const QElement* port = body->FindValue("port"); port != nullptr && port->HasInteger()) {
        message.port = port->Integer();
    }
    if (const QElement* implied = body->FindValue("implied_port");
        implied != nullptr && implied->HasInteger()) {
        message.implied_port = implied->Integer() != 0;
    }
    if (const QElement* token = StringValue(*body, "token");
        token != nullptr && !token->Bytes().empty() && token->Bytes().size() <= kMaxToken) {
        message.token = std::string(token->Bytes());
    }
    if (const QElement* nodes = StringValue(*body, "nodes"); nodes != nullptr) {
        const std::string_view bytes = nodes->Bytes();
        const size_t whole = std::min(bytes.size() / DhtNode::kCompactSize, kMaxNodes);
        message.nodes = bytes.substr(0, whole * DhtNode::kCompactSize);
        message.has_nodes = true;
    }
    if (const QElement* values = body->FindValue("values"); values != nullptr) {
        ReadValues(*values, message);
    }
    return message;
}

}  // namespace kf
