#include "engine/peers/TBTPeer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/os/Tick.h"

namespace kf {

namespace {

constexpr int32_t kHandshakeReadSize = 2048;
constexpr int32_t kSmallestRead = 192;
constexpr int32_t kGreedyDoublings = 12;
constexpr int32_t kKeepBufferRate = 262143;  // bytes per second
constexpr int32_t kKeepBufferArrival = 16383;
constexpr int32_t kSlowUploadRate = 28672;
constexpr int32_t kLargeQueue = 1024;
constexpr int32_t kWritablePollQueue = 256;
constexpr int32_t kMaxUploadBurst = 1048576;
constexpr uint32_t kPartialRefreshBytes = 1024;
constexpr int32_t kDropDoneAge = 8;  // seconds a request waits before others may share it
constexpr int64_t kPreferredWindowBytes = 8388608;
constexpr int32_t kPreferredWindowUnknown = 40;
constexpr int32_t kUdpWeightLimit = 34;
constexpr int32_t kSmallSwarm = 32;
constexpr int32_t kIdleAverage = 18;  // bytes per second since the connection completed

bool HasUdpMark(const TPeerId::PeerIdBytes& id) {
    return id[16] == 'U' && id[17] == 'D' && id[18] == 'P';
}

void SetBit(std::vector<uint8_t>& bits, int32_t index, bool on) {
    uint8_t& byte = bits[static_cast<size_t>(index / 8)];
    const auto mask = static_cast<uint8_t>(0x80 >> (index % 8));
    byte = on ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

}  // namespace

TBTPeer::TBTPeer(const TaskFaces& task) : TPeerObject(PeerKind::BtNode, task) {}

TBTPeer::~TBTPeer() {
    TBTPeer::Reset();
}

void TBTPeer::Reset() {
    TPeerObject::Reset();
    exchange_ = Exchange{};
    received_mark_ = 0;
    send_skip_ = 0;
    wrapped_ = false;
    handshake_sent_ = false;
    connect_started_ = 0;
    established_at_ = 0;
    quick_since_ms_ = 0;
    quick_since_bytes_ = 0;
    quick_rate_ = 0;
    send_batch_.clear();
    work_.has.clear();
    work_.last_announced = -1;
    work_.nothing_to_pick = false;
    work_.nothing_to_pick_since = 0;
    work_.nothing_to_pick_tried = 0;
}

// --- Transport and connection set-up -------------------------------------------------------

bool TBTPeer::ChooseUdpTransport(const TPeerId& source, bool usable, bool prefer_udp,
                                 int32_t candidate_count) {
    if (!usable || source.weight > kUdpWeightLimit) {
        return false;
    }
    if (prefer_udp) {
        return source.attempts % 3 == 0;
    }
    return (HasUdpMark(source.peer_id) || candidate_count <= kSmallSwarm) && source.attempts >= 2 &&
           source.attempts % 2 == 0;
}

QSocket::NodeId TBTPeer::UdpNodeId(const TPeerId& source) {
    const TPeerId::PeerIdBytes& id = source.peer_id;
    uint8_t address[4];
    std::memcpy(address, &source.ip, sizeof(address));
    const bool synthesized =
        std::all_of(id.begin(), id.begin() + 14, [](uint8_t b) { return b == 0; }) &&
        std::equal(address, address + 4, id.begin() + 14);
    QSocket::NodeId node{};
    std::copy_n(id.begin() + (synthesized ? 12 : 8), node.size(), node.begin());
    return node;
}

bool TBTPeer::Attach(const RefPtr<TPeerId>& source) {
    Reset();
    if (!TPeerObject::Attach(source)) {
        return false;
    }
    MutableActivity().incoming = false;
    const bool udp = ChooseUdpTransport(*source, Swarm().UdpTransportUsable(),
                                        Swarm().PreferUdpTransport(), Swarm().CandidateCount());
    const QSocket::NodeId node = UdpNodeId(*source);
    connect_started_ = Swarm().CurrentTime();
    QSocket& conn = EnsureConnection();
    const std::optional<QProxyConfig> proxy = Swarm().TaskProxy();
    SetState(conn.ConnectTo(source->ip, source->port, false, proxy ? &*proxy : nullptr,
                            Swarm().LocalBindAddress(), udp ? &node : nullptr)
                 ? kConnecting
                 : kIdle);
    return IsConnected();
}

bool TBTPeer::AcceptConnection(std::unique_ptr<QSocket> connection, bool wrapped) {
    if (!AttachIncoming(std::move(connection))) {
        return false;
    }
    wrapped_ = wrapped;
    connect_started_ = Swarm().CurrentTime();
    return true;
}

bool TBTPeer::StartSession() {
    // An accepted connection answers once the remote's handshake has been accepted (and its
    // wrapper seen): nothing of ours goes to a party that has not shown it knows the torrent.
    return GetActivity().incoming || SendHandshake();
}

bool TBTPeer::SendHandshake() {
    if (!IsConnected()) {
        return false;
    }
    if (handshake_sent_) {
        return true;
    }
    QSocket& conn = *Connection();
    handshake_ = BtWire::BuildHandshake(Swarm().InfoHash(), Swarm().HandshakePeerId());
    std::string wrapper;
    if (GetActivity().incoming) {
        if (wrapped_) {
            wrapper =
                BtWire::BuildWrapperResponse(NowSeconds() % 2 != 0, SecondsSinceStart() % 2 == 0);
        }
    } else if (!conn.UsesUdpTransport() && Source() != nullptr) {
        const int32_t attempts = Source()->attempts;
        if (Swarm().HttpWrappedHandshake() || (Swarm().PreferUdpTransport() && attempts % 3 == 1)) {
            wrapper = BtWire::BuildWrapperRequest(Source()->ip, Source()->port, attempts);
        }
    }
    if (!wrapper.empty() &&
        conn.SendBytes(wrapper.data(), static_cast<int32_t>(wrapper.size())) < 0) {
        return false;
    }
    if (conn.SendBytes(handshake_) < 0) {
        return false;
    }
    handshake_sent_ = true;
    return true;
}

bool TBTPeer::CheckHandshake() {
    if (State() != kConnecting || !IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const std::span<const uint8_t> buffered = conn.Received();
    if (buffered.size() < BtWire::kHandshakeLength ||
        !BtWire::HandshakeMatches(buffered, Swarm().InfoHash()) || !Swarm().IsBtTask()) {
        return false;
    }
    const BtWire::Hash20 peer_id = BtWire::PeerIdOf(buffered);
    if (peer_id == Swarm().HandshakePeerId()) {
        return false;  // a connection to ourselves
    }
    if (!GetActivity().incoming) {
        return true;
    }
    if (Swarm().HasPeerWithId(conn.RemoteIp(), peer_id, *this, true)) {
        return false;
    }
    if (Source() == nullptr) {
        RefPtr<TPeerId> record =
            RefPtr<TPeerId>::Share(Swarm().AddPeerAddress(conn.RemoteIp(), conn.RemotePort()));
        if (!record) {
            record = RefPtr<TPeerId>::Make();
            record->kind = PeerKind::BtNode;
            record->ip = conn.RemoteIp();
            record->port = conn.RemotePort();
            record->resolved = true;
        }
        AdoptSource(record);
    }
    Source()->peer_id = peer_id;
    return true;
}

// --- Receiving ----------------------------------------------------------------------------

int64_t TBTPeer::SecondsConnected() {
    return established_at_ > 0 ? Swarm().CurrentTime() - established_at_ : 0;
}

bool TBTPeer::Receive() {
    if (!IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const int64_t now = Swarm().CurrentTime();
    if (established_at_ == 0) {
        if (!conn.IsEstablished()) {
            const int32_t limit = conn.UsesUdpTransport() ? kUdpConnectTimeout : kConnectTimeout;
            if (!conn.IsOpen() || now - connect_started_ > limit) {
                SetStatus(kStatusTimedOut);
                CloseConnection();
                return false;
            }
            return true;
        }
        established_at_ = std::max<int64_t>(now, 1);
        if (!StartSession()) {
            return false;
        }
    }

    const int32_t budget = Content().DownloadAllowance();
    if (budget == 0 && State() != kConnecting) {
        return true;
    }
    int32_t want = kHandshakeReadSize;
    if (!exchange_.peer_choking && !work_.requests.empty() && State() == kEstablished) {
        const int32_t rate = PipelineRate();
        want = (rate <= 65535 ? 16384 : rate <= 262143 ? 32768 : 65536) + 1024;
    }
    if (budget > 0 && budget < want) {
        want = std::max(budget, kSmallestRead);
    }

    const int32_t before = conn.ReceivedLength();
    if (conn.ReceiveBytes(want) < 0) {
        return false;
    }
    int32_t arrived = conn.ReceivedLength() - before;
    // Greedy: a read that filled what it asked for leaves more behind; take it now.
    int32_t last = arrived;
    for (int32_t i = 0; i < kGreedyDoublings && last == want && State() == kEstablished &&
                        (budget < 0 || arrived < budget) && conn.ReceivedLength() < kMaxBuffered;
         ++i) {
        want = std::min(want * 2, kMaxBuffered - conn.ReceivedLength());
        if (budget > 0) {
            want = std::min(want, budget - arrived);
        }
        const int32_t held = conn.ReceivedLength();
        if (conn.ReceiveBytes(want) < 0) {
            return false;
        }
        last = conn.ReceivedLength() - held;
        arrived += last;
    }
    if (arrived == 0 && State() != kConnecting) {
        return true;
    }

    if (State() == kConnecting) {
        if (!ReceiveHandshake(conn)) {
            return false;
        }
        if (State() != kEstablished) {
            return true;
        }
    }
    const bool was_choking = exchange_.peer_choking;
    choke_seen_ = false;
    if (!HandleMessages(conn, arrived)) {
        return false;
    }
    // A choke discards our requests even when an unchoke follows it in the same read.
    if (choke_seen_) {
        OnChoked();
    }
    if (!exchange_.peer_choking && (was_choking || choke_seen_)) {
        OnUnchoked();
    }
    return IsConnected();
}

bool TBTPeer::ReceiveHandshake(QSocket& conn) {
    const BtWire::WrapperScan scan = BtWire::ScanWrapper(conn.Received());
    if (scan.result == BtWire::Wrapper::kStripped) {
        conn.Consume(static_cast<int32_t>(scan.header_length));
        wrapped_ = true;
    }
    if (scan.result == BtWire::Wrapper::kIncomplete ||
        conn.ReceivedLength() < static_cast<int32_t>(BtWire::kHandshakeLength)) {
        if (SecondsConnected() > kHandshakeTimeout) {
            SetStatus(kStatusTimedOut);
            CloseConnection();
            return false;
        }
        return true;
    }
    const BtWire::Hash20 peer_id = BtWire::PeerIdOf(conn.Received());
    if (!CheckHandshake() || Swarm().HasPeerWithId(conn.RemoteIp(), peer_id, *this, false)) {
        SetState(kIdle);
        CloseConnection();
        return false;
    }
    return AcceptHandshake(conn);
}

bool TBTPeer::AcceptHandshake(QSocket& conn) {
    if (GetActivity().incoming && !handshake_sent_ && !SendHandshake()) {
        return false;
    }
    Swarm().NoteConnectedAddress(conn.RemoteIp(), conn.RemotePort());
    SetState(kEstablished);
    conn.Consume(static_cast<int32_t>(BtWire::kHandshakeLength));

    const int32_t piece_count = Content().ContentSizeKnown() ? Content().PieceCount() : 0;
    const size_t bitfield_size = piece_count > 0 ? (static_cast<size_t>(piece_count) + 7) / 8 : 0;
    work_.has.assign(bitfield_size, 0);
    if (bitfield_size > 0) {
        std::vector<uint8_t> bits = Content().BitfieldBytes();
        bits.resize(bitfield_size, 0);
        const std::vector<uint8_t> message = BtWire::Bitfield(bits);
        if (conn.SendBytes(message) < 0) {
            return false;
        }
    }
    exchange_.haves_received = 0;
    exchange_.remote_pieces = 0;
    exchange_.remote_pieces_at_bitfield = 0;
    exchange_.choked_since = Swarm().CurrentTime();
    SetStatus(kStatusChoked);
    exchange_.peer_choking = true;
    if (conn.SendBytes(BtWire::kInterestedUnchoke) < 0) {
        return false;
    }
    exchange_.interested = true;
    exchange_.am_choking = false;
    return true;
}

bool TBTPeer::HandleMessages(QSocket& conn, int32_t arrived) {
    const std::span<const uint8_t> buffered = conn.Received();
    size_t used = 0;
    bool more = true;
    while (more && buffered.size() - used >= 4) {
        BtWire::Message message;
        switch (BtWire::ParseMessage(buffered.subspan(used), message)) {
            case BtWire::Parse::kMessage:
                if (!HandleMessage(message)) {
                    AddError();
                    CloseConnection();
                    return false;
                }
                used += message.size;
                break;
            case BtWire::Parse::kPartialPiece:
                HandlePartialPiece(message, conn);
                more = false;
                break;
            case BtWire::Parse::kNeedMore:
                more = false;
                break;
            case BtWire::Parse::kDiscard:
                AddError();
                used = buffered.size();
                more = false;
                break;
            case BtWire::Parse::kDiscardQuiet:
                used = buffered.size();
                more = false;
                break;
            case BtWire::Parse::kFatal:
                AddError();
                CloseConnection();
                return false;
        }
    }
    const bool keep = GetRates().download_rate > kKeepBufferRate || arrived > kKeepBufferArrival;
    conn.Consume(static_cast<int32_t>(used), keep);
    return true;
}

bool TBTPeer::HandleMessage(const BtWire::Message& message) {
    switch (message.id) {
        case BtWire::kChoke:
        case BtWire::kUnchoke: {
            exchange_.peer_choking = message.id == BtWire::kChoke;
            choke_seen_ = choke_seen_ || exchange_.peer_choking;
            SetStatus(exchange_.peer_choking || exchange_.am_choking ? kStatusChoked
                                                                     : kStatusUnchoked);
            if (!exchange_.peer_choking) {
                exchange_.choked_since = 0;
            } else if (exchange_.choked_since == 0) {
                exchange_.choked_since = Swarm().CurrentTime();
            }
            return true;
        }
        case BtWire::kHave:
            HandleHave(message.index);
            return true;
        case BtWire::kBitfield:
            return HandleBitfield(message.payload);
        case BtWire::kRequest:
            HandleRequest(message);
            return true;
        case BtWire::kCancel:
            HandleCancel(message);
            return true;
        case BtWire::kPiece:
            return HandlePiece(message);
        default:
            return true;  // keep-alive, (not) interested and ids we do not speak
    }
}

void TBTPeer::HandleHave(uint32_t index) {
    if (index > INT32_MAX || index / 8 >= work_.has.size()) {
        return;  // a piece the content does not have (or no bitfield room yet)
    }
    const auto piece = static_cast<int32_t>(index);
    if (!work_.Has(piece)) {
        SetBit(work_.has, piece, true);
        ++exchange_.haves_received;
        ++exchange_.remote_pieces;
        if (Content().ContentSizeKnown() && exchange_.remote_pieces >= Content().PieceCount()) {
            NoteSeed();
        }
    }
    if (work_.nothing_to_pick && !Content().IsPieceVerified(PieceIndex(piece))) {
        work_.nothing_to_pick = false;
    }
    exchange_.last_have_index = piece;
    work_.last_announced = piece;
}

bool TBTPeer::HandleBitfield(std::span<const uint8_t> bits) {
    const int32_t piece_count = Content().ContentSizeKnown() ? Content().PieceCount() : 0;
    if (piece_count > 0 && bits.size() != (static_cast<size_t>(piece_count) + 7) / 8) {
        return false;
    }
    work_.has.assign(bits.begin(), bits.end());
    int32_t count = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
        uint8_t byte = bits[i];
        if (piece_count > 0 && i == bits.size() - 1 && piece_count % 8 != 0) {
            byte = static_cast<uint8_t>(byte & (0xFF00 >> (piece_count % 8)));  // spare bits
        }
        count += std::popcount(byte);
    }
    exchange_.remote_pieces = count;
    exchange_.remote_pieces_at_bitfield = count;
    const bool nothing = count == 0;
    if (nothing && !work_.nothing_to_pick) {
        work_.nothing_to_pick_since = Swarm().CurrentTime();
        work_.nothing_to_pick_tried = Swarm().CurrentTime();
    }
    work_.nothing_to_pick = nothing;
    if (!GetActivity().incoming && Source() != nullptr) {
        Swarm().NoteSourcePieces(*Source(), count);
    }
    if (piece_count > 0 && count >= piece_count) {
        NoteSeed();
    }
    return true;
}

bool TBTPeer::Locate(int32_t block, uint32_t& index, uint32_t& begin) {
    const int32_t piece_length = Content().PieceLength();
    const int64_t offset = static_cast<int64_t>(block) * kBlockSize;
    if (block < 0 || piece_length <= 0 || offset >= Content().ContentSize()) {
        return false;
    }
    index = static_cast<uint32_t>(offset / piece_length);
    begin = static_cast<uint32_t>(offset % piece_length);
    return true;
}

void TBTPeer::HandleRequest(const BtWire::Message& message) {
    const int32_t piece_length = Content().PieceLength();
    if (exchange_.am_choking || !Content().ContentSizeKnown() || piece_length <= 0 ||
        peer_requests_.size() >= kMaxPeerRequests) {
        return;
    }
    const auto piece = static_cast<int32_t>(message.index);
    const int64_t piece_start = static_cast<int64_t>(piece) * piece_length;
    const int64_t piece_size =
        std::min<int64_t>(piece_length, Content().ContentSize() - piece_start);
    // Only what the block numbering can express and a 16 KiB read can answer: a request that
    // starts off a block boundary, is longer than a block or runs past its piece is ignored.
    if (piece >= Content().PieceCount() || message.begin % kBlockSize != 0 ||
        message.length > static_cast<uint32_t>(kBlockSize) ||
        static_cast<int64_t>(message.begin) + message.length > piece_size ||
        !Content().IsPieceVerified(PieceIndex(piece))) {
        return;
    }
    const BlockRequest request{static_cast<int32_t>((piece_start + message.begin) / kBlockSize),
                               static_cast<int32_t>(message.length), SecondsSinceStart()};
    if (std::find(peer_requests_.begin(), peer_requests_.end(), request) == peer_requests_.end()) {
        peer_requests_.push_back(request);
    }
}

void TBTPeer::HandleCancel(const BtWire::Message& message) {
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0) {
        return;
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    if (offset / kBlockSize > INT32_MAX || message.begin % kBlockSize != 0) {
        return;
    }
    const BlockRequest request{static_cast<int32_t>(offset / kBlockSize),
                               static_cast<int32_t>(message.length), 0};
    const auto found = std::find(peer_requests_.begin(), peer_requests_.end(), request);
    if (found != peer_requests_.end()) {
        peer_requests_.erase(found);
    }
}

bool TBTPeer::HandlePiece(const BtWire::Message& message) {
    MutableActivity().in_piece = false;
    const int64_t unavailable = BtWire::BlockUnavailablePiece(message);
    if (unavailable >= 0) {
        HandleBlockUnavailable(unavailable);
        return true;
    }
    const int32_t piece_length = Content().PieceLength();
    if (!Content().ContentSizeKnown() || piece_length <= 0) {
        return true;  // nothing could have been asked for yet: dropped as the base does
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    if (message.begin % kBlockSize != 0 || offset / kBlockSize > INT32_MAX) {
        return false;  // never a block we asked for
    }
    return DeliverBlock(static_cast<int32_t>(offset / kBlockSize), message.payload);
}

void TBTPeer::HandlePartialPiece(const BtWire::Message& message, QSocket& conn) {
    MutableActivity().in_piece = true;
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0 || conn.ReceivedTotal() - received_mark_ <= kPartialRefreshBytes) {
        return;
    }
    const int64_t offset = static_cast<int64_t>(message.index) * piece_length + message.begin;
    const BlockRequest arriving{
        static_cast<int32_t>(std::min<int64_t>(offset / kBlockSize, INT32_MAX)),
        static_cast<int32_t>(message.length), 0};
    for (size_t i = 0; i < static_cast<size_t>(work_.requests.InFlight()); ++i) {
        if (work_.requests[i] == arriving) {
            // A block that is still coming in is not late: keep it out of the shared list.
            received_mark_ = conn.ReceivedTotal();
            work_.requests.Restamp(i, SecondsSinceStart());
            break;
        }
    }
}

void TBTPeer::HandleBlockUnavailable(int64_t piece) {
    const int32_t piece_length = Content().PieceLength();
    if (piece > INT32_MAX || piece_length <= 0) {
        return;
    }
    const auto index = static_cast<int32_t>(piece);
    if (work_.Has(index)) {
        SetBit(work_.has, index, false);
        exchange_.remote_pieces = std::max(exchange_.remote_pieces - 1, 0);
        exchange_.seed_since = 0;
    }
    std::deque<BlockRequest> back = work_.requests.TakePiece(PieceIndex(index), piece_length);
    if (!back.empty()) {
        Content().ReturnBlocks(std::move(back));
    }
}

void TBTPeer::OnChoked() {
    // A peer without the fast extension forgets our requests; other peers may take them.
    if (!work_.requests.empty()) {
        CancelOutstanding();
        Content().ReturnBlocks(work_.requests.TakeAll());
    }
}

void TBTPeer::OnUnchoked() {
    MutableActivity().in_piece = false;
    work_.requests.ForgetInFlight();
    SendRequests(RequestLimit());
}

// --- Requests -----------------------------------------------------------------------------

int32_t TBTPeer::RequestLimit() const {
    return std::min(std::max(PipelineRate() / kBlockSize + 2, 6), kMaxOutstanding);
}

void TBTPeer::SampleQuickRate() {
    const uint64_t now = TickMilliseconds();
    const uint64_t total = ReceivedTotal();
    if (quick_since_ms_ == 0 || total < quick_since_bytes_) {
        quick_since_ms_ = now;
        quick_since_bytes_ = total;
        return;
    }
    const uint64_t elapsed = now - quick_since_ms_;
    if (elapsed < kQuickRateMs) {
        return;
    }
    quick_rate_ = static_cast<int32_t>(
        std::min<uint64_t>((total - quick_since_bytes_) * 1000 / elapsed, INT32_MAX));
    quick_since_ms_ = now;
    quick_since_bytes_ = total;
}

bool TBTPeer::SendRequests(int32_t limit) {
    if (work_.requests.empty() || !IsConnected() || exchange_.peer_choking ||
        !Content().ContentSizeKnown() || State() != kEstablished) {
        return true;
    }
    QSocket& conn = *Connection();
    const bool end_game = Content().InEndGame();
    send_batch_.clear();
    RequestQueue& queue = work_.requests;
    while (static_cast<size_t>(queue.InFlight()) < queue.size() && queue.InFlight() < limit) {
        const BlockRequest& request = queue.NextToSend();
        uint32_t index = 0;
        uint32_t begin = 0;
        if (request.length <= 0 || request.length > kBlockSize ||
            !Locate(request.block, index, begin) ||
            (end_game && Content().IsBlockDone(ContentBlock(request.block), request.length))) {
            queue.DropNextToSend();
            continue;
        }
        const auto message = BtWire::Request(index, begin, static_cast<uint32_t>(request.length));
        send_batch_.insert(send_batch_.end(), message.begin(), message.end());
        queue.MarkSent();
        if (static_cast<int32_t>(send_batch_.size()) > kRequestBatchBytes) {
            if (conn.SendBytes(send_batch_) < 0) {
                return false;
            }
            send_batch_.clear();
        }
    }
    if (!send_batch_.empty() && conn.SendBytes(send_batch_) < 0) {
        return false;
    }
    return true;
}

void TBTPeer::CancelOutstanding() {
    if (!IsConnected()) {
        return;
    }
    send_batch_.clear();
    for (size_t i = 0; i < static_cast<size_t>(work_.requests.InFlight()); ++i) {
        uint32_t index = 0;
        uint32_t begin = 0;
        const BlockRequest& request = work_.requests[i];
        if (Locate(request.block, index, begin)) {
            const auto message =
                BtWire::Cancel(index, begin, static_cast<uint32_t>(request.length));
            send_batch_.insert(send_batch_.end(), message.begin(), message.end());
        }
    }
    if (!send_batch_.empty()) {
        Connection()->SendBytes(send_batch_);
    }
}

bool TBTPeer::TopUpRequests() {
    if (exchange_.peer_choking || !exchange_.interested || !Content().ContentSizeKnown()) {
        return true;
    }
    const int32_t allowed = std::min(std::max(PipelineRate() / kBlockSize - 1, 5), kMaxOutstanding);
    const int32_t in_flight = work_.requests.InFlight();
    if (in_flight >= allowed || static_cast<int32_t>(work_.requests.size()) <= in_flight) {
        return true;
    }
    return SendRequests(RequestLimit());
}

bool TBTPeer::PlanRequests() {
    if (State() != kEstablished || exchange_.peer_choking || !Content().ContentSizeKnown()) {
        return true;
    }
    if (Content().IsComplete()) {
        if (!work_.requests.empty()) {
            CancelOutstanding();
            work_.requests.Clear();
        }
        return true;
    }
    SampleQuickRate();
    // The scheduler sizes this peer's queue from it.
    work_.download_rate = PipelineRate();
    const int32_t in_flight_before = work_.requests.InFlight();
    const bool empty_before = work_.requests.empty();
    TaskContent::BtPlan plan;
    if (static_cast<int32_t>(work_.requests.size()) < kMaxQueued) {
        plan = Content().PlanBtRequests(work_);
    }
    if (!plan.ran && plan.complete) {
        return true;
    }
    const bool send = plan.ran ? (in_flight_before == 0 || empty_before)
                               : (work_.requests.InFlight() == 0 && !work_.requests.empty());
    if (send) {
        work_.requests.ForgetInFlight();
        MutableActivity().in_piece = false;
        return SendRequests(RequestLimit());
    }
    return true;
}

std::optional<PieceIndex> TBTPeer::NextPiece() {
    if (!IsConnected()) {
        return std::nullopt;
    }
    return Content().NextBtPiece(work_);
}

void TBTPeer::DropDoneRequests() {
    if (!IsConnected() || !Content().ContentSizeKnown()) {
        return;
    }
    const int32_t piece_length = Content().PieceLength();
    const std::optional<PieceIndex> preferred = Content().PreferredPiece();
    const int64_t window =
        piece_length > 0 ? kPreferredWindowBytes / piece_length : kPreferredWindowUnknown;
    const uint32_t now = SecondsSinceStart();
    send_batch_.clear();
    // A held block sent for is cancelled and leaves the count with its request: a cancel in
    // flight is an answer we no longer await.
    work_.requests.DropIf([&](BlockRequest& request, bool in_flight) {
        if (Content().IsBlockDone(ContentBlock(request.block), request.length)) {
            uint32_t index = 0;
            uint32_t begin = 0;
            if (in_flight && Locate(request.block, index, begin)) {
                const auto message =
                    BtWire::Cancel(index, begin, static_cast<uint32_t>(request.length));
                send_batch_.insert(send_batch_.end(), message.begin(), message.end());
            }
            return true;
        }
        if (preferred && piece_length > 0) {
            const int64_t piece = static_cast<int64_t>(request.block) * kBlockSize / piece_length;
            if (piece >= preferred->value() && piece - preferred->value() <= window &&
                now - request.queued_at > static_cast<uint32_t>(kDropDoneAge) &&
                !Content().InSharedBlocks(request)) {
                // A block the reader waits for: let a faster peer have a go at it too.
                request.queued_at = now;
                Content().AddSharedBlock(request);
            }
        }
        return false;
    });
    if (!send_batch_.empty()) {
        Connection()->SendBytes(send_batch_);
    }
}

// --- Sending ------------------------------------------------------------------------------

bool TBTPeer::ServeUploads() {
    const int32_t piece_length = Content().PieceLength();
    if (piece_length <= 0 || State() != kEstablished || !IsConnected() || exchange_.am_choking ||
        GetActivity().pending_send || peer_requests_.empty() || Connection()->QueuedLength() > 0 ||
        !Content().ContentSizeKnown()) {
        return true;
    }
    const int32_t budget = Content().UploadAllowance();
    if (budget <= 0) {
        return true;
    }
    QSocket& conn = *Connection();
    const int32_t scale = GetRates().upload_rate / 65536;
    int64_t amount = scale > 1 ? static_cast<int64_t>(scale) * kBlockSize - kBlockSize : kBlockSize;
    if (Content().IsComplete()) {
        amount += kBlockSize;
    }
    // The rate is measured every few seconds; a link that took all of the last turn's bytes
    // need not wait for it to grow.
    amount = std::min<int64_t>(std::max<int64_t>(amount, upload_burst_), budget);
    if (upload_.size() < 13 + static_cast<size_t>(kBlockSize)) {
        upload_.resize(13 + kBlockSize);
    }
    int64_t sum = 0;
    while (!peer_requests_.empty()) {
        const BlockRequest request = peer_requests_.front();
        if (request.length > piece_length || request.length > kBlockSize) {
            peer_requests_.pop_front();
            continue;
        }
        if (sum + request.length > amount && Content().PeersWithUnsentData() > 0) {
            break;
        }
        uint32_t index = 0;
        uint32_t begin = 0;
        const auto block =
            std::span<uint8_t>(upload_).subspan(13, static_cast<size_t>(request.length));
        if (!Locate(request.block, index, begin) ||
            !Content().ReadBlock(PieceIndex(index), static_cast<int32_t>(begin), block)) {
            // Tell the remote it cannot have this piece from us, and forget what it asked of it.
            const int64_t piece = static_cast<int64_t>(request.block) * kBlockSize / piece_length;
            if (conn.SendBytes(BtWire::BlockUnavailable(static_cast<uint32_t>(piece))) < 0) {
                return false;
            }
            std::erase_if(peer_requests_, [&](const BlockRequest& r) {
                return static_cast<int64_t>(r.block) * kBlockSize / piece_length == piece;
            });
            continue;
        }
        const auto header =
            BtWire::PieceHeader(index, begin, static_cast<uint32_t>(request.length));
        std::copy(header.begin(), header.end(), upload_.begin());
        if (conn.SendBytes(std::span<const uint8_t>(upload_).first(13 + block.size())) < 0) {
            return false;
        }
        peer_requests_.pop_front();
        Content().CountUploaded(request.length);
        sum += request.length;
        if (sum >= amount) {
            break;
        }
    }
    if (conn.QueuedLength() > 0) {
        upload_burst_ = std::max(upload_burst_ / 2, kBlockSize);
        Content().NotePendingSend();
    } else if (sum >= amount) {
        upload_burst_ = std::min(upload_burst_ * 2, kMaxUploadBurst);
    }
    return true;
}

bool TBTPeer::Flush() {
    if (!IsConnected()) {
        return false;
    }
    QSocket& conn = *Connection();
    const int32_t upload_rate = GetRates().upload_rate;
    // A link that took whole bursts lately is not slow, whatever the lagging rate says.
    const bool slow = upload_rate < kSlowUploadRate && upload_burst_ <= kBlockSize;
    if (slow && conn.QueuedLength() > kLargeQueue && (++send_skip_ % 2) != 0) {
        return true;  // slow uploads go out on every second turn
    }
    if (established_at_ == 0 || conn.QueuedLength() == 0) {
        return true;
    }
    const int32_t budget = Content().UploadAllowance() / 2;
    if (budget <= 0) {
        return true;
    }
    if (!conn.UsesUdpTransport() && conn.QueuedLength() > kWritablePollQueue &&
        !conn.WaitWritable(0)) {
        return true;
    }
    // Slow links get small paced writes; a fast one gets all the socket takes.
    int32_t chunk = 16384 + 1024;
    if (!slow) {
        chunk = conn.QueuedLength();
    } else if (Content().PeerSlotTarget() < 12) {
        chunk = 8192 + 1024;
    }
    if (chunk >= budget) {
        chunk = std::max(budget - 512, 1);
    }
    conn.SetKeepBuffers(upload_rate > kKeepBufferRate || !slow);
    return conn.FlushQueue(chunk) >= 0;
}

void TBTPeer::Choke() {
    exchange_.am_choking = true;
    SetStatus(kStatusChoked);
    peer_requests_.clear();
    if (IsEstablished()) {
        Connection()->SendBytes(BtWire::Simple(BtWire::kChoke));
    }
}

void TBTPeer::Unchoke() {
    exchange_.am_choking = false;
    SetStatus(exchange_.peer_choking ? kStatusChoked : kStatusUnchoked);
    if (IsEstablished()) {
        Connection()->SendBytes(BtWire::Simple(BtWire::kUnchoke));
    }
}

bool TBTPeer::SendRaw(std::span<const uint8_t> bytes) {
    return IsEstablished() && Connection()->SendBytes(bytes) >= 0;
}

// --- Tests of the task --------------------------------------------------------------------

bool TBTPeer::IsIdle() {
    if (!Swarm().P2PEnabled()) {
        return true;
    }
    const int64_t seconds = SecondsConnected();
    if (seconds <= kIdleAfter || !IsConnected()) {
        return false;
    }
    const QSocket& conn = *Connection();
    if (Content().IsComplete()) {
        return GetRates().upload_rate < 1 &&
               static_cast<int64_t>(conn.SentTotal()) / seconds <= kIdleAverage;
    }
    return GetRates().download_rate < 1 &&
           static_cast<int64_t>(conn.ReceivedTotal()) / seconds <= kIdleAverage;
}

bool TBTPeer::IsUseless() {
    return work_.nothing_to_pick &&
           Swarm().CurrentTime() - work_.nothing_to_pick_since > kUselessAfter;
}

bool TBTPeer::IsSeedTooLong() {
    return exchange_.seed_since > 0 &&
           Swarm().CurrentTime() - exchange_.seed_since > kSeedTooLongAfter;
}

void TBTPeer::NoteSeed() {
    if (exchange_.seed_since > 0) {
        return;
    }
    if (!IsConnected() || !Content().ContentSizeKnown()) {
        return;
    }
    const int32_t count = Content().PieceCount();
    if (count <= 0) {
        return;
    }
    for (int32_t piece = 0; piece < count; ++piece) {
        if (!work_.Has(piece)) {
            return;
        }
    }
    exchange_.seed_since = std::max<int64_t>(Swarm().CurrentTime(), 1);
}

int32_t TBTPeer::RemoteRate() {
    const int32_t growth = exchange_.remote_pieces - exchange_.remote_pieces_at_bitfield;
    const int64_t seconds = SecondsConnected();
    if (growth <= 4 || seconds <= 0) {
        return 0;
    }
    return static_cast<int32_t>(static_cast<int64_t>(growth) * (Content().PieceLength() / 1024) /
                                seconds);
}

}  // namespace kf
