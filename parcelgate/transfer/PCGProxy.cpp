#include "PCGProxy.h"

#include <mutex>

#include "PCGHTTPSend.h"

namespace pcg {

namespace {

std::mutex& ProxyLock() {
    static std::mutex lock;
    return lock;
}

TPCGProxy::TSettings& Stored() {
    static TPCGProxy::TSettings settings;
    return settings;
}

}  // namespace

void TPCGProxy::SetProxy(const std::string& host, const std::string& port,
                         const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> guard(ProxyLock());
    Stored() = TSettings{host, port, user, password};
}

void TPCGProxy::ApplyProxy(TPCGHTTPSend* session) {
    if (session == nullptr) return;
    TSettings settings = Get();
    if (settings.host.empty()) return;
    session->SetProxy(settings.host, settings.port, settings.user, settings.password);
}

void TPCGProxy::Clear() {
    std::lock_guard<std::mutex> guard(ProxyLock());
    Stored() = TSettings{};
}

TPCGProxy::TSettings TPCGProxy::Get() {
    std::lock_guard<std::mutex> guard(ProxyLock());
    return Stored();
}

}  // namespace pcg
