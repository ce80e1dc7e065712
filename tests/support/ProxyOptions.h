// The current user's Internet Options and pennant's proxy policy, set in the
// Wine prefix's registry for one run and taken out again. Wine's
// WinHttpGetIEProxyConfigForCurrentUser reads only the Connections key's
// DefaultConnectionSettings record (as Windows keeps it); the named values
// beside it are what Windows mirrors the record into, set for completeness.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

// Flags of the DefaultConnectionSettings record.
enum : DWORD { UseProxy = 2, UseScript = 4, AutoDetect = 8 };

class UserProxyOptions {
public:
    UserProxyOptions(DWORD flags, const std::string& proxy, const std::string& bypass,
                     const std::string& script) {
        std::string record = Dword(0x46) + Dword(1) + Dword(flags | 1) + Counted(proxy) +
                             Counted(bypass) + Counted(script) + std::string(32, '\0');
        Set(Connections, "DefaultConnectionSettings", REG_BINARY, record);
        Set(Settings, "ProxyEnable", REG_DWORD, Dword(flags & UseProxy ? 1 : 0));
        Set(Settings, "ProxyServer", REG_SZ, proxy + '\0');
        Set(Settings, "ProxyOverride", REG_SZ, bypass + '\0');
        if (flags & UseScript) Set(Settings, "AutoConfigURL", REG_SZ, script + '\0');
    }
    ~UserProxyOptions() {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, Connections, "DefaultConnectionSettings");
        for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride", "AutoConfigURL"})
            RegDeleteKeyValueA(HKEY_CURRENT_USER, Settings, name);
    }
    UserProxyOptions(const UserProxyOptions&) = delete;
    UserProxyOptions& operator=(const UserProxyOptions&) = delete;

    static std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }

private:
    static constexpr const char* Settings =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    static constexpr const char* Connections =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

    static std::string Counted(const std::string& text) {
        return Dword(static_cast<DWORD>(text.size())) + text;
    }
    static void Set(const char* key, const char* name, DWORD type, const std::string& data) {
        RegSetKeyValueA(HKEY_CURRENT_USER, key, name, type, data.data(),
                        static_cast<DWORD>(data.size()));
    }
};

// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\pennant with the proxy credentials
// (none when user is empty) and the plain-text permission; removed after.
class ProxyPolicyValues {
public:
    ProxyPolicyValues(const std::string& user, const std::string& password, bool allowPlainText) {
        if (!user.empty()) {
            Set("ProxyUser", REG_SZ, user + '\0');
            Set("ProxyPassword", REG_SZ, password + '\0');
        }
        if (allowPlainText) Set("ProxyAllowBasicOverHttp", REG_DWORD, UserProxyOptions::Dword(1));
    }
    ~ProxyPolicyValues() {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Key, KEY_WOW64_64KEY, 0);
    }
    ProxyPolicyValues(const ProxyPolicyValues&) = delete;
    ProxyPolicyValues& operator=(const ProxyPolicyValues&) = delete;

private:
    static constexpr const char* Key = "SOFTWARE\\Policies\\pennant";
    static void Set(const char* name, DWORD type, const std::string& data) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
};

}  // namespace testing_support
