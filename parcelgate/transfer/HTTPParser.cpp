#include "HTTPParser.h"

namespace pcg {

const char* HTTPErrorName(THTTPError) { return "None"; }
bool ParseUrl(const std::string&, const std::string&, TURLParts&) { return false; }
THTTPResponseParser::THTTPResponseParser(bool headRequest, size_t maxHeaderBytes, uint64_t maxBodyBytes)
    : headRequest_(headRequest), maxHeaderBytes_(maxHeaderBytes), maxBodyBytes_(maxBodyBytes) {}
TParseStatus THTTPResponseParser::Feed(const char*, size_t, size_t* consumed) {
    *consumed = 0;
    return Fail(THTTPError::BadStatusLine);
}
TParseStatus THTTPResponseParser::FinishAtClose() { return Fail(THTTPError::ClosedEarly); }
TParseStatus THTTPResponseParser::Fail(THTTPError error) {
    error_ = error;
    return status_ = TParseStatus::Invalid;
}
bool THTTPResponseParser::KeepAlive() const { return false; }
std::string THTTPResponseParser::HeaderValue(const std::string&) const { return std::string(); }

}  // namespace pcg
