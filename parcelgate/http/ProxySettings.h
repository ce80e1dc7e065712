// ProxySettings: the process-wide proxy settings every new HTTP session takes.
// Guarded by a lock, so any thread may call these.
#pragma once

#include <string>

namespace pcg {

class HttpSession;

class ProxySettings {
public:
    struct Values {
        std::string host, port, user, password;
    };

    // Replaces the four texts.
    static void SetProxy(const std::string& host, const std::string& port,
                         const std::string& user, const std::string& password);

    // When session is not null and the stored host is not empty, copies the
    // four texts into the session's proxy settings; otherwise does nothing.
    static void ApplyProxy(HttpSession* session);

    // Empties the four texts (at DLL unload; also for tests).
    static void Clear();

    static Values Get();

    ProxySettings() = delete;
};

}  // namespace pcg
