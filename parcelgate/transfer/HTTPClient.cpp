#include "HTTPClient.h"

namespace pcg {

class TPCGSocket {};

void TPCGBuffer::SetPosition(size_t position) { position_ = position < bytes_.size() ? position : bytes_.size(); }
void TPCGBuffer::Clear() { bytes_.clear(); position_ = 0; }
void TPCGBuffer::Assign(std::string bytes) { bytes_ = std::move(bytes); position_ = 0; }
void TPCGBuffer::Write(const void*, size_t) {}
size_t TPCGBuffer::Read(void*, size_t) { return 0; }
std::string TPCGBuffer::Take() { position_ = 0; return std::move(bytes_); }

THTTPClient::THTTPClient() = default;
THTTPClient::~THTTPClient() = default;
void THTTPClient::Clear() {}
bool THTTPClient::HTTPMethod(const std::string&, const std::string&) { return false; }
void THTTPClient::SetCookieText(const std::string&) {}
void THTTPClient::SetProxy(const std::string& host, const std::string& port, const std::string& user,
                           const std::string& password) {
    proxyHost_ = host; proxyPort_ = port; proxyUser_ = user; proxyPass_ = password;
}
bool THTTPClient::ConnectionOpen() const { return false; }
void THTTPClient::CloseConnection() {}
bool THTTPClient::BuildRequestHead(const std::string&, const std::string&, std::string&) const { return false; }

}  // namespace pcg
