// TPCGProxy: the process-wide proxy settings every new HTTP session takes.
// Guarded by a lock, so any thread may call these.
#pragma once

#include <string>

namespace pcg {

class TPCGHTTPSend;

class TPCGProxy {
public:
    struct TSettings {
        std::string host, port, user, password;
    };

    // Replaces the four texts.
    static void SetProxy(const std::string& host, const std::string& port,
                         const std::string& user, const std::string& password);

    // When session is not null and the stored host is not empty, copies the
    // four texts into the session's proxy settings; otherwise does nothing.
    static void ApplyProxy(TPCGHTTPSend* session);

    // Empties the four texts (at DLL unload; also for tests).
    static void Clear();

    static TSettings Get();

    TPCGProxy() = delete;
};

}  // namespace pcg
