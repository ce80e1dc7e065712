// ByteStream: the connection an HTTP exchange runs over, plain (SocketStream)
// or TLS on top of one (TlsChannel.h), so the exchange sends and receives
// the same way over both. Every blocking step waits in slices of about
// 50 ms and reads its limits anew each slice: a stop flag or a time-out
// shortened from another thread ends a step in progress soon.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"
#include "http/HttpParser.h"

namespace pcg {

// The client's limits, which any thread may change while a stream uses them.
struct StreamLimits {
    const std::atomic<int32_t>& timeout;        // ms per socket step
    const std::atomic<int32_t>& sendPieceSize;  // bytes per piece; 0 means no limit
    const std::atomic<bool>& stopped;
};

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Sends every byte in pieces of at most the send piece size; the stop
    // flag is looked at between pieces.
    virtual HttpError Send(const char* data, size_t size) = 0;
    // Points data at the next bytes received and sets size to their count,
    // waiting for at least one. Size 0 with HttpError::None: the peer ended
    // the stream in order. The bytes stay valid until the next call.
    virtual HttpError Receive(const char*& data, size_t& size) = 0;
    // Whether the idle stream may carry another request: the peer has
    // neither closed it nor sent anything unasked.
    virtual bool IdleUsable() const = 0;
    // The last failure in words where its error says too little; "" if none.
    virtual std::string Why() const { return std::string(); }
};

struct SocketTraits {
    using Handle = SOCKET;
    static SOCKET Invalid() { return INVALID_SOCKET; }
    static bool Valid(SOCKET socket) { return socket != INVALID_SOCKET; }
    static void Close(SOCKET socket) { closesocket(socket); }
};

// Owner of one Winsock socket.
using Socket = UniqueOwner<SocketTraits>;

enum class WaitResult { Ready, TimedOut, Stopped, Failed };

// Waits until the socket can be read (or written).
WaitResult WaitSocket(SOCKET socket, bool forWrite, const StreamLimits& limits);

// The error a wait that was not Ready stands for.
HttpError WaitError(WaitResult result, HttpError socketError);

// A connected non-blocking socket as a stream. Owns the socket.
class SocketStream : public ByteStream {
public:
    SocketStream(Socket socket, const StreamLimits& limits);

    HttpError Send(const char* data, size_t size) override;
    HttpError Receive(const char*& data, size_t& size) override;
    bool IdleUsable() const override;

    // The steps a layer above builds on. SendAll sends all bytes, in pieces
    // when inPieces; ReceiveInto receives what has arrived into buffer,
    // waiting for at least one byte (got 0: the peer closed).
    HttpError SendAll(const char* data, size_t size, bool inPieces);
    HttpError ReceiveInto(char* buffer, size_t capacity, size_t& got);
    // One send without waiting, for a last word before closing; false when
    // not all of it went.
    bool SendNow(const char* data, size_t size);
    const StreamLimits& Limits() const { return limits_; }

private:
    Socket socket_;
    StreamLimits limits_;
    std::vector<char> buffer_;
};

}  // namespace pcg
