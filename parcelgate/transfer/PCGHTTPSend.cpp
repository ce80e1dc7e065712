#include "PCGHTTPSend.h"

namespace pcg {

bool TPCGHTTPSend::SendRequest(const std::string& method, const std::string& url) {
    SetSendPieceSize(kSendPieceSize);
    SetTimeout(kDefaultTimeout);
    return HTTPMethod(method, url);
}

void TPCGHTTPSend::CancelTransfer() {
    Stop();
    SetSendPieceSize(0);
    SetTimeout(0);
}

}  // namespace pcg
