#include "http/ProxySettings.h"

#include <mutex>

#include "http/HttpSession.h"

namespace pcg {

namespace {

std::mutex& ProxyLock() {
    static std::mutex lock;
    return lock;
}

ProxySettings::Values& Stored() {
    static ProxySettings::Values settings;
    return settings;
}

}  // namespace

void ProxySettings::SetProxy(const std::string& host, const std::string& port,
                         const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> guard(ProxyLock());
    Stored() = Values{host, port, user, password};
}

void ProxySettings::ApplyProxy(HttpSession* session) {
    if (session == nullptr) return;
    Values settings = Get();
    if (settings.host.empty()) return;
    session->SetProxy(settings.host, settings.port, settings.user, settings.password);
}

void ProxySettings::Clear() {
    std::lock_guard<std::mutex> guard(ProxyLock());
    Stored() = Values{};
}

ProxySettings::Values ProxySettings::Get() {
    std::lock_guard<std::mutex> guard(ProxyLock());
    return Stored();
}

}  // namespace pcg
