#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/peers/ChunkedDecoder.h"
#include "engine/peers/HttpResponseHeader.h"
#include "engine/peers/TServerPeer.h"

namespace kf {

// Downloads the task's file from an HTTP server (an Http source): one GET per connection with an
// open-ended byte range from the first block it needs (under a download limit a bounded one), the
// body read as one stream and cut into its queued 16 KiB blocks; gaps of up to 128 KiB are skipped
// in the stream, longer ones get a new request (on the same connection after a bounded answer
// read to its end, else on a new one). In
// fetch-to-memory mode the whole body is collected into the source record instead (a small file
// such as the task's torrent).
//
// Owner and thread: as every peer object (TPeerObject), on the task's thread.
//
// Trust: the server is untrusted. The header is capped (HttpResponseHeader::kMaxHeaderBytes), a
// memory body at kMaxMemoryBody. Body bytes are written only where the answer proves they belong:
//   - a 206 must carry a Content-Range that starts where this connection asked; any other start,
//     an unreadable range, or a total that differs from the size already known ends the
//     connection (penalty 60);
//   - a 200 to a ranged request (the server ignored Range) is read from offset 0 and the source
//     is marked as not serving ranges: its stream is skipped to the wanted bytes however far
//     they are, and later connections ask it without a Range line;
//   - bytes past the body the answer declared (Content-Length) are never delivered;
//   - a body sent with a transfer or content coding (chunked, gzip, ...) is refused, since its
//     bytes are not the file's bytes; only a body kept in memory may come chunked (a torrent
//     served by a script), and it counts as whole only once its last chunk has arrived;
//   - a connection that ends early leaves only whole, requested blocks written.
// A 3xx answer without a usable Location ends the connection like any unexpected status.
class THttpPeer : public TServerPeer {
  public:
    static constexpr int64_t kMaxSkip = 128 * 1024;
    static constexpr int64_t kUnknownMemoryLength = 2147483647;
    static constexpr int32_t kHeaderTimeout = 15;  // seconds without activity before the header
    static constexpr int32_t kBodyTimeout = 30;    // after it
    static constexpr int32_t kStatusUnresolvable = 20216;
    // Most bytes one turn reads of a body while the download allowance permits: at loopback and
    // LAN speeds a turn per 42 KiB costs more in calls and passes than the data itself. Reads
    // straight into the piece cache take up to 1 MiB (one piece of 64 blocks at most: measured
    // on loopback, 1 GiB cost 1.9 CPU s in 1 MiB reads, 2.1 s in 256 KiB reads, 2.5 s in 42 KiB
    // reads); reads through the receive buffer up to 256 KiB, the buffer being copied again.
    static constexpr int32_t kMaxStreamRead = 1024 * 1024;
    static constexpr int32_t kMaxCopyRead = 256 * 1024;
    // Under a download limit a request asks for 1/kLimitedRequestShare of a second at the task's
    // limit, rounded up to whole pieces: an open range would have the server fill the socket
    // buffers (megabytes) far ahead of what the limit lets this connection read, all of it lost
    // when the connection is dropped or the process killed. The next request goes on the same
    // connection once the answer is read (a new one when the server closes it).
    static constexpr int32_t kLimitedRequestShare = 2;
    // Most bytes one turn reads while the header (or a body kept in memory) is awaited.
    static constexpr int32_t kMaxHeaderRead = 43008;
    static constexpr const char* kUserAgent =
        "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Kestrelfetch/1.0.3";

    explicit THttpPeer(const TaskFaces& task);
    ~THttpPeer() override;

    bool Receive() override;
    bool Flush() override;
    bool PlanRequests() override;
    void Reset() override;
    bool Attach(const RefPtr<TPeerId>& source) override;

    // The request text for `source` with the range from `start` to `end` (inclusive), or open
    // when `end` is below `start` (then no Range line for 0). Empty when a field holds a byte
    // that would break the request (a control byte).
    static std::string BuildRequest(const TPeerId& source, int64_t start, int64_t end = -1);
    // A redirect target as an absolute address: "http://" and "ftp://" texts as they are, a path
    // joined to the source's host (and port unless 80). Empty for another scheme ("https://").
    static std::string AbsoluteLocation(const TPeerId& source, std::string_view location);

    bool HeaderDone() const { return header_done_; }
    bool NoLength() const { return no_length_; }
    const HttpResponseHeader& Header() const { return header_; }

  protected:
    int64_t TimeoutSeconds() const override;
    void OnStreamBytes(int64_t bytes, bool block_ended) override;
    bool End(int32_t penalty, std::string_view why) override;

  private:
    // Bytes the next read may take: the task's download allowance, at most `limit`. A zero
    // allowance (a connection still being set up may read) leaves `limit`.
    int32_t ReadSize(int32_t limit);
    bool ReceiveHeader();
    bool HandleHeader();
    bool HandleSuccess();
    bool HandleRedirect();
    // Checks that the body of a 2xx answer can be placed, and sets position and the body bound.
    bool PlaceBody();
    bool ReceiveToMemory();
    bool ReceiveChunkedToMemory();
    bool ReceiveStream();
    // Reads the next bytes of the run straight into the piece cache (TaskContent::BlockRoom) when
    // nothing is buffered and the stream stands at the run: kRead when it read (or found the run
    // changed), kFailed when the connection ended, kNotNow when the copying path must read.
    enum class InPlace { kRead, kFailed, kNotNow };
    InPlace ReceiveInPlace(int32_t budget);
    bool DeliverBuffered();
    bool Reattach();
    // Whether the last answer was read whole from a persistent HTTP/1.1 connection.
    bool CanReuseConnection() const;
    // The next planned run's request on the open connection.
    bool SendNextRequest();
    // The last byte the request may ask for under a download limit, or -1 for an open range (no
    // limit, size unknown, nothing planned).
    int64_t LimitedRequestEnd();
    void ClearConnectionState();
    // Closes the connection, adds `penalty` to the source, answers false.
    bool Fail(int32_t penalty);

    bool header_done_ = false;
    HttpResponseHeader header_;
    bool no_length_ = false;
    std::optional<ChunkedDecoder> chunked_;  // a chunked body kept in memory
    int64_t request_start_ = 0;              // the range start this connection asked for
    int64_t body_left_ = -1;  // body bytes the answer still owes; -1 when it did not say
};

}  // namespace kf
