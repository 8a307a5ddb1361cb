// libFuzzer target: FTP control replies read from any bytes, whole and in two pieces, and the
// PASV and SIZE texts of what was read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/peers/FtpReplyParser.h"

namespace {

using kf::FtpReplyParser;

// Takes replies from the front of `bytes` as a peer does; answers how many bytes were taken.
size_t TakeAll(std::string_view bytes, int& replies) {
    size_t taken = 0;
    for (int i = 0; i < 1000; ++i) {
        FtpReplyParser::Reply reply;
        size_t length = 0;
        if (FtpReplyParser::Parse(bytes.substr(taken), reply, length) !=
            FtpReplyParser::Outcome::kComplete) {
            break;
        }
        if (length == 0 || length > bytes.size() - taken ||
            length > FtpReplyParser::kMaxReplyBytes || reply.code < 100 || reply.code > 599 ||
            reply.text.size() > FtpReplyParser::kMaxLineBytes) {
            __builtin_trap();
        }
        if (const auto address = FtpReplyParser::ParsePassive(reply.text)) {
            if (address->port < 1 || address->port > 65535) {
                __builtin_trap();
            }
            (void)address->HostText();
        }
        (void)FtpReplyParser::ParseSize(reply.text);
        taken += length;
        ++replies;
    }
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    int replies = 0;
    const size_t taken = TakeAll(bytes, replies);

    // A reply found in the whole input is found the same in any prefix that holds it.
    if (replies > 0) {
        FtpReplyParser::Reply whole;
        FtpReplyParser::Reply part;
        size_t whole_length = 0;
        size_t part_length = 0;
        FtpReplyParser::Parse(bytes, whole, whole_length);
        if (FtpReplyParser::Parse(bytes.substr(0, whole_length), part, part_length) !=
                FtpReplyParser::Outcome::kComplete ||
            part_length != whole_length || part.code != whole.code || part.text != whole.text) {
            __builtin_trap();
        }
        // Cut one byte short, the first reply is never complete.
        if (FtpReplyParser::Parse(bytes.substr(0, whole_length - 1), part, part_length) ==
            FtpReplyParser::Outcome::kComplete) {
            __builtin_trap();
        }
    }
    if (taken > bytes.size()) {
        __builtin_trap();
    }
    (void)FtpReplyParser::ParsePassive(bytes);
    (void)FtpReplyParser::ParseSize(bytes);
    return 0;
}
