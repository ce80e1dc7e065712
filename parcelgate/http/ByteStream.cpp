#include "http/ByteStream.h"

#include <algorithm>
#include <utility>

namespace pcg {

namespace {

constexpr int32_t kWaitSliceMs = 50;
constexpr size_t kReceiveBufferSize = 256 * 1024;

}  // namespace

WaitResult WaitSocket(SOCKET socket, bool forWrite, const StreamLimits& limits) {
    ULONGLONG start = GetTickCount64();
    bool first = true;
    for (;;) {
        if (limits.stopped.load()) return WaitResult::Stopped;
        int64_t left = static_cast<int64_t>(limits.timeout.load()) - static_cast<int64_t>(GetTickCount64() - start);
        if (left <= 0 && !first) return WaitResult::TimedOut;
        first = false;
        int64_t slice = std::max<int64_t>(0, std::min<int64_t>(left, kWaitSliceMs));
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval wait;
        wait.tv_sec = 0;
        wait.tv_usec = static_cast<long>(slice * 1000);
        int result = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &wait);
        if (result == SOCKET_ERROR) return WaitResult::Failed;
        if (result > 0) return FD_ISSET(socket, &failed) ? WaitResult::Failed : WaitResult::Ready;
    }
}

HttpError WaitError(WaitResult result, HttpError socketError) {
    switch (result) {
        case WaitResult::TimedOut: return HttpError::Timeout;
        case WaitResult::Stopped: return HttpError::Stopped;
        default: return socketError;
    }
}

SocketStream::SocketStream(Socket socket, const StreamLimits& limits)
    : socket_(std::move(socket)), limits_(limits) {}

HttpError SocketStream::Send(const char* data, size_t size) { return SendAll(data, size, true); }

HttpError SocketStream::SendAll(const char* data, size_t size, bool inPieces) {
    size_t done = 0;
    while (done < size) {
        if (limits_.stopped.load()) return HttpError::Stopped;
        size_t piece = size - done;
        int32_t limit = limits_.sendPieceSize.load();
        if (inPieces && limit > 0) piece = std::min(piece, static_cast<size_t>(limit));
        piece = std::min<size_t>(piece, 1u << 30);
        int sent = send(socket_.Get(), data + done, static_cast<int>(piece), 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) return HttpError::Send;
            // The socket's buffer is full: wait until the peer takes more.
            WaitResult waited = WaitSocket(socket_.Get(), true, limits_);
            if (waited != WaitResult::Ready) return WaitError(waited, HttpError::Send);
            continue;
        }
        done += static_cast<size_t>(sent);
    }
    return HttpError::None;
}

bool SocketStream::SendNow(const char* data, size_t size) {
    return send(socket_.Get(), data, static_cast<int>(size), 0) == static_cast<int>(size);
}

HttpError SocketStream::ReceiveInto(char* buffer, size_t capacity, size_t& got) {
    got = 0;
    for (;;) {
        // Read first and wait only when nothing is there: while a body streams
        // in, most reads find data and the wait would be a wasted system call.
        if (limits_.stopped.load()) return HttpError::Stopped;
        int received = recv(socket_.Get(), buffer, static_cast<int>(std::min<size_t>(capacity, 1u << 30)), 0);
        if (received != SOCKET_ERROR) {
            got = static_cast<size_t>(received);
            return HttpError::None;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return HttpError::Receive;
        WaitResult waited = WaitSocket(socket_.Get(), false, limits_);
        if (waited != WaitResult::Ready) return WaitError(waited, HttpError::Receive);
    }
}

HttpError SocketStream::Receive(const char*& data, size_t& size) {
    if (buffer_.empty()) buffer_.resize(kReceiveBufferSize);
    data = buffer_.data();
    return ReceiveInto(buffer_.data(), buffer_.size(), size);
}

bool SocketStream::IdleUsable() const {
    // A readable idle socket means the server closed it (or sent something unasked).
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_.Get(), &readable);
    timeval now = {0, 0};
    return select(0, &readable, nullptr, nullptr, &now) == 0;
}

}  // namespace pcg
