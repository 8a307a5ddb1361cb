#include "engine/peers/TFtpPeer.h"

#include <algorithm>

#include "engine/base/EngineLog.h"
#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

TFtpPeer::TFtpPeer(const TaskFaces& task) : TServerPeer(PeerKind::Ftp, task) {}

TFtpPeer::~TFtpPeer() {
    TFtpPeer::Reset();
}

const char* TFtpPeer::FtpStateName(int32_t state) {
    switch (state) {
        case kTransfer:
            return "transfer";
        case kWelcome:
            return "welcome";
        case kUser:
            return "USER";
        case kPass:
            return "PASS";
        case kCwd:
            return "CWD";
        case kSize:
            return "SIZE";
        case kType:
            return "TYPE";
        case kPasv:
            return "PASV";
        case kRest:
            return "REST";
        case kRetr:
            return "RETR";
        case kAfterDrop:
            return "after a dropped transfer";
        default:
            return "unknown";
    }
}

void TFtpPeer::SetFtpState(int32_t state, int32_t phase) {
    if (state != ftp_state_ && Source() != nullptr && EngineLogWants(LogChannel::kTrace)) {
        EngineLogWrite("FTP " + DottedText(Source()->ip) + ":" + std::to_string(Source()->port) +
                           " " + FtpStateName(ftp_state_) + " -> " + FtpStateName(state),
                       LogChannel::kTrace);
    }
    ftp_state_ = state;
    phase_ = phase;
}

bool TFtpPeer::End(int32_t penalty, std::string_view why) {
    return Fail(penalty, why);
}

bool TFtpPeer::Fail(int32_t penalty, std::string_view why) {
    if (Source() != nullptr && EngineLogWants(LogChannel::kPeerInfo)) {
        EngineLogWrite("FTP " + DottedText(Source()->ip) + ":" + std::to_string(Source()->port) +
                           " ends in " + FtpStateName(ftp_state_) + ": " + std::string(why),
                       LogChannel::kPeerInfo);
    }
    CloseData();
    CloseConnection();
    if (penalty > 0) {
        PenalizeSource(penalty);
    }
    return false;
}

void TFtpPeer::CloseData() {
    if (data_ != nullptr) {
        retired_data_bytes_ += data_->ReceivedTotal();
        data_.reset();
    }
    data_established_ = false;
}

uint64_t TFtpPeer::ReceivedTotal() const {
    return TPeerObject::ReceivedTotal() + retired_data_bytes_ +
           (data_ != nullptr ? data_->ReceivedTotal() : 0);
}

void TFtpPeer::ClearSession() {
    CloseData();
    ftp_state_ = kWelcome;
    phase_ = kAwaitingReply;
    position_ = 0;
    skip_ = 0;
    completion_seen_ = false;
    dropped_by_us_ = false;
    transfer_blocks_ = 0;
    empty_transfers_ = 0;
}

void TFtpPeer::Reset() {
    TPeerObject::Reset();
    ClearSession();
    retired_data_bytes_ = 0;
}

std::string TFtpPeer::Directory(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string TFtpPeer::BuildCommand(int32_t state, const TPeerId& source, int64_t offset) {
    const TPeerUrlInfo& info = source.UrlInfo();
    std::string command;
    switch (state) {
        case kUser:
            command = "user " + info.user;
            break;
        case kPass:
            command = "pass " + info.password;
            break;
        case kCwd:
            command = "cwd " + Directory(info.path);
            break;
        case kType:
            command = "type i";
            break;
        case kSize:
            command = "size " + info.file_name;
            break;
        case kPasv:
            command = "pasv";
            break;
        case kRest:
            command = "rest " + std::to_string(offset);
            break;
        case kRetr:
            command = "retr " + info.path;
            break;
        default:
            return {};
    }
    if (HasControlBytes(command)) {
        return {};
    }
    return command + "\r\n";
}

bool TFtpPeer::Attach(const RefPtr<TPeerId>& source) {
    if (!TPeerObject::Attach(source)) {
        return false;
    }
    ClearSession();
    TPeerId& record = *Source();
    if (record.UrlInfo().fetch_to_memory && record.role == TPeerId::kRoleTorrentLine) {
        Swarm().SetTaskState(TaskState::kFirstAnswer);
    }
    return ConnectToSource();
}

int64_t TFtpPeer::TimeoutSeconds() const {
    return ftp_state_ == kTransfer ? kTransferTimeout : kReplyTimeout;
}

bool TFtpPeer::Flush() {
    if (phase_ != kCommandQueued) {
        return true;
    }
    if (!IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    if (conn.QueuedLength() > 0 && conn.FlushQueue(-1) < 0) {
        return Fail(0, "control send failed");
    }
    if (conn.QueuedLength() == 0) {
        SetFtpState(ftp_state_, kAwaitingReply);
    }
    return true;
}

bool TFtpPeer::Receive() {
    if (!IsConnected() || Source() == nullptr) {
        return false;
    }
    if (Source()->UrlInfo().fetch_to_memory && Source()->UrlInfo().memory_done) {
        return true;  // the task takes the body and retires this peer
    }
    // Checked in every phase: a command that never leaves must not hold the peer for ever.
    if (TimedOut()) {
        return Fail(kTimeoutPenalty, "time-out");
    }
    if (!CheckDataConnect()) {
        return false;
    }
    if (phase_ != kAwaitingReply) {
        return true;
    }
    if (ftp_state_ == kTransfer) {
        return ReceiveTransfer();
    }
    return ReceiveReplies();
}

int32_t TFtpPeer::NextReply(FtpReplyParser::Reply& reply, bool may_read) {
    QSocket& conn = *Connection();
    for (int pass = 0; pass < 2; ++pass) {
        if (conn.ReceivedLength() > 0) {
            size_t length = 0;
            switch (FtpReplyParser::Parse(AsText(conn.Received()), reply, length)) {
                case FtpReplyParser::Outcome::kComplete:
                    conn.Consume(static_cast<int32_t>(length));
                    return 1;
                case FtpReplyParser::Outcome::kMalformed:
                    Fail(0, "malformed reply");
                    return -1;
                case FtpReplyParser::Outcome::kTooLarge:
                    Fail(0, "reply too large");
                    return -1;
                case FtpReplyParser::Outcome::kIncomplete:
                    break;
            }
        }
        if (pass == 1 || !may_read) {
            return 0;
        }
        if (conn.ReceiveBytes() < 0) {
            Fail(0, "control connection closed");
            return -1;
        }
    }
    return 0;
}

bool TFtpPeer::ReceiveReplies() {
    for (int i = 0; i < kMaxRepliesPerTick; ++i) {
        if (phase_ != kAwaitingReply || ftp_state_ == kTransfer) {
            return true;
        }
        FtpReplyParser::Reply reply;
        const int32_t got = NextReply(reply, true);
        if (got <= 0) {
            return got == 0;
        }
        if (!HandleReply(reply)) {
            return false;
        }
    }
    return true;
}

bool TFtpPeer::HandleReply(const FtpReplyParser::Reply& reply) {
    MarkActivity();
    TPeerId& source = *Source();
    const int32_t code = reply.code;
    // The answer to a transfer this peer broke off itself says nothing about the server.
    const bool own_drop = ftp_state_ == kAfterDrop && dropped_by_us_;
    if (!own_drop) {
        if (code / 100 == 4 && source.max_connections > 2) {
            --source.max_connections;
        }
        if (code / 100 == 5) {
            PenalizeSource(kServerErrorPenalty);
        }
    }
    switch (ftp_state_) {
        case kWelcome:
            if (code == 220) {
                SetState(kEstablished);
                SetFtpState(kUser, kCommandDue);
                return true;
            }
            break;
        case kUser:
            if (code == 331) {
                SetFtpState(kPass, kCommandDue);
                return true;
            }
            if (code == 230) {  // logged in without a password
                SetFtpState(kCwd, kCommandDue);
                return true;
            }
            break;
        case kPass:
            if (code == 230 || code == 332) {
                SetFtpState(kCwd, kCommandDue);
                return true;
            }
            break;
        case kCwd:
            if (code == 250) {
                SetFtpState(kType, kCommandDue);
                return true;
            }
            break;
        case kType:
            if (code == 200) {
                SetFtpState(kSize, kCommandDue);
                return true;
            }
            break;
        case kSize:
            if (code == 213) {
                return HandleSize(reply);
            }
            break;
        case kPasv:
            if (code == 227) {
                return OpenDataConnection(reply);
            }
            break;
        case kRest:
            if (code == 350) {
                SetFtpState(kRetr, kCommandDue);
                return true;
            }
            break;
        case kRetr:
            if (code == 125 || code == 150) {
                transfer_blocks_ = 0;
                completion_seen_ = false;
                SetFtpState(kTransfer, kAwaitingReply);
                return true;
            }
            break;
        case kTransfer:
            if (code == 226 || code == 250) {
                completion_seen_ = true;  // the rest of the data may still be on its way
                return true;
            }
            break;
        case kAfterDrop:
            if (code == 426 || code == 226 || code == 250) {
                dropped_by_us_ = false;
                SetFtpState(kPasv, kCommandDue);
                return true;
            }
            break;
        default:
            break;
    }
    return Fail(0, "unexpected reply " + std::to_string(code));
}

bool TFtpPeer::HandleSize(const FtpReplyParser::Reply& reply) {
    const int64_t size = FtpReplyParser::ParseSize(reply.text);
    if (size <= 0) {
        return Fail(0, "unreadable size");
    }
    TPeerUrlInfo& info = Source()->UrlInfo();
    info.content_length = size;
    if (info.fetch_to_memory && size > kMaxMemoryBody) {
        return Fail(kServerErrorPenalty, "file too large for memory");
    }
    SetFtpState(kPasv, kCommandDue);
    return true;
}

bool TFtpPeer::OpenDataConnection(const FtpReplyParser::Reply& reply) {
    const std::optional<FtpReplyParser::PassiveAddress> address =
        FtpReplyParser::ParsePassive(reply.text);
    if (!address.has_value()) {
        return Fail(0, "unreadable PASV answer");
    }
    const TPeerId& source = *Source();
    const std::string named = address->HostText();
    if (named != DottedText(source.ip) && EngineLogWants(LogChannel::kPeerInfo)) {
        // Only the port is taken: the data goes where the control connection went.
        EngineLogWrite("FTP " + DottedText(source.ip) + ":" + std::to_string(source.port) +
                           " PASV names " + named + "; using the control address",
                       LogChannel::kPeerInfo);
    }
    CloseData();
    data_ = std::make_unique<QSocket>();
    if (!ConnectToServer(*data_, address->port)) {
        SetStatus(kStatusTimedOut);
        return Fail(kTimeoutPenalty, "data connection could not be started");
    }
    SetFtpState(kRest, kCommandDue);
    return true;
}

bool TFtpPeer::CheckDataConnect() {
    if (data_ == nullptr || data_established_) {
        return true;
    }
    if (data_->IsEstablished()) {
        data_established_ = true;
        return true;
    }
    if (data_->IsOpen()) {
        return true;  // still connecting
    }
    // Refused or failed: waiting for the time-out would change nothing.
    SetStatus(kStatusTimedOut);
    return Fail(kTimeoutPenalty, "data connection failed");
}

bool TFtpPeer::QueueCommand() {
    int64_t offset = 0;
    if (ftp_state_ == kRest) {
        const TPeerUrlInfo& info = Source()->UrlInfo();
        if (info.fetch_to_memory) {
            offset = static_cast<int64_t>(info.memory_body.size());
        } else if (!work_.requests.empty()) {
            offset = static_cast<int64_t>(work_.requests.front().block) * kBlockSize;
        } else {
            return true;  // nothing to position at yet
        }
        position_ = offset;
        skip_ = 0;
    }
    const std::string command = BuildCommand(ftp_state_, *Source(), offset);
    if (command.empty()) {
        return Fail(0, "command cannot be written");
    }
    if (Connection()->SendBytes(command.data(), static_cast<int32_t>(command.size())) < 0) {
        return Fail(0, "control send failed");
    }
    SetFtpState(ftp_state_, kCommandQueued);
    return true;
}

bool TFtpPeer::PlanRequests() {
    if (!IsConnected() || Source() == nullptr) {
        return false;
    }
    const bool memory = Source()->UrlInfo().fetch_to_memory;
    if (!memory && SizeDiffersFromTask()) {
        return Fail(kServerErrorPenalty, "size differs from the task's");
    }
    const bool planning = !memory && (ftp_state_ == kTransfer || ftp_state_ == kPasv ||
                                      (ftp_state_ == kRest && phase_ == kCommandDue));
    if (planning && !PlanServerRange()) {
        return false;
    }
    if (phase_ != kCommandDue) {
        return true;
    }
    if (!memory && ftp_state_ == kPasv && work_.requests.empty()) {
        return true;  // a transfer waits until there is something to fetch
    }
    return QueueCommand();
}

}  // namespace kf
