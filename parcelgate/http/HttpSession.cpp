#include "http/HttpSession.h"

namespace pcg {

bool HttpSession::SendRequest(const std::string& method, const std::string& url, BodySink* body) {
    SetSendPieceSize(kSendPieceSize);
    SetTimeout(kDefaultTimeout);
    SetMaxRedirects(kMaxRedirects);
    return HTTPMethod(method, url, body);
}

void HttpSession::CancelTransfer() {
    Stop();
    SetSendPieceSize(0);
    SetTimeout(0);
}

}  // namespace pcg
