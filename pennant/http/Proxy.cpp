#include "http/Proxy.h"

#include "app/Handles.h"
#include "app/Log.h"
#include "app/Policy.h"
#include "app/Text.h"

#include <cwchar>
#include <cwctype>
#include <map>
#include <mutex>

namespace pennant {
namespace {

int LastError() { return static_cast<int>(GetLastError()); }

#ifndef WINHTTP_AUTOLOGON_SECURITY_LEVEL_PROXY_ONLY
#define WINHTTP_AUTOLOGON_SECURITY_LEVEL_PROXY_ONLY 3
#endif

// Strings that WinHTTP allocates for its caller, who frees them with GlobalFree.
struct GlobalTextTraits {
    using Handle = wchar_t*;
    static Handle Invalid() { return nullptr; }
    static bool Valid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ::GlobalFree(h); }
};
using GlobalText = UniqueHandle<GlobalTextTraits>;

std::wstring TextOf(const GlobalText& text) { return text ? text.Get() : L""; }

// The URL up to its query: queries may carry tokens, which stay out of the
// log and away from auto-configuration scripts.
std::wstring WithoutQuery(const std::wstring& url) {
    return url.substr(0, url.find_first_of(L"?#"));
}

std::string Shown(const std::wstring& text) {
    return text.empty() ? std::string("(none)") : WideToAnsi(WithoutQuery(text));
}

// The user's Internet Options as read at start, the sources that failed
// since, and the route chosen for each origin.
struct UserProxySettings {
    bool loaded = false;
    bool autoDetect = false;
    std::wstring script;
    std::wstring proxy;
    std::wstring bypass;
    bool scriptFailed = false;
    bool detectionFailed = false;
    std::map<std::wstring, ProxyRoute> routes;
};

// Guards `settings`; never held while a script or detection runs, which can
// take seconds.
std::mutex settingsMutex;
UserProxySettings settings;

// The session without proxy that every WinHttpGetProxyForUrl of the run
// shares: it keeps the downloaded script and the detection's result. The
// script (or its discovery) decides about proxies and is not fetched
// through one. Opened at start, before any request thread.
WinHttpSession autoProxySession;

const char* AutoProxyFailure(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_AUTODETECTION_FAILED: return "no script found";
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT: return "script not downloaded";
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT: return "script not run";
    case ERROR_WINHTTP_LOGIN_FAILURE: return "logon to the script's server failed";
    default: return "failed";
    }
}

// Failures that hold for every origin: the script or its discovery is
// missing or broken. Others (a time-out, one URL the script chokes on)
// leave the source to the next origin.
bool FailsForEveryOrigin(DWORD error) {
    return error == ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT ||
           error == ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT ||
           error == ERROR_WINHTTP_AUTODETECTION_FAILED;
}

// Marks a source failed for the run; true for the first caller only.
bool DisableSource(bool UserProxySettings::*failed) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (settings.*failed) return false;
    settings.*failed = true;
    return true;
}

// WinHttpGetProxyForUrl for `target`; 0 with the route, or the error.
DWORD AutoProxy(const std::wstring& target, WINHTTP_AUTOPROXY_OPTIONS options, ProxyRoute* route) {
    if (!autoProxySession.IsOpen()) return ERROR_WINHTTP_INTERNAL_ERROR;
    WINHTTP_PROXY_INFO info = {};
    options.fAutoLogonIfChallenged = FALSE;
    BOOL found = WinHttpGetProxyForUrl(autoProxySession.Get(), target.c_str(), &options, &info);
    if (!found && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        // The script's server asked who we are: once more, with the user's logon.
        options.fAutoLogonIfChallenged = TRUE;
        found = WinHttpGetProxyForUrl(autoProxySession.Get(), target.c_str(), &options, &info);
    }
    if (!found) return GetLastError();
    const GlobalText proxy(info.lpszProxy);
    const GlobalText bypass(info.lpszProxyBypass);
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy && *proxy.Get()) {
        route->accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        route->proxy = TextOf(proxy);
        route->bypass = TextOf(bypass);
    } else {
        route->accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    }
    return 0;
}

// The first source of the user's settings (`user`, a copy) that gives a
// route, else the machine's; `why` names it. Runs without settingsMutex.
ProxyRoute ChooseRoute(const std::wstring& target, const UserProxySettings& user,
                       std::string* why) {
    ProxyRoute route;
    if (!user.script.empty() && !user.scriptFailed) {
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = user.script.c_str();
        const DWORD error = AutoProxy(target, options, &route);
        if (error == 0) {
            *why = "auto-configuration script " + Shown(user.script);
            return route;
        }
        // Not tried again this run where it fails for all: every origin
        // would wait for it again.
        if (!FailsForEveryOrigin(error) || DisableSource(&UserProxySettings::scriptFailed))
            Log(LogWarning, "auto-configuration script %s: %s, errno = %lu, trying the next source",
                Shown(user.script).c_str(), AutoProxyFailure(error), error);
    }
    if (user.autoDetect && !user.detectionFailed) {
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        const DWORD error = AutoProxy(target, options, &route);
        if (error == 0) {
            *why = "automatic detection";
            return route;
        }
        if (!FailsForEveryOrigin(error) || DisableSource(&UserProxySettings::detectionFailed))
            Log(LogWarning, "automatic proxy detection: %s, errno = %lu, trying the next source",
                AutoProxyFailure(error), error);
    }
    if (!user.proxy.empty()) {
        route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        route.proxy = user.proxy;
        route.bypass = user.bypass;
        *why = "the user's proxy server";
        return route;
    }
    route.accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    WINHTTP_PROXY_INFO machine = {};
    if (!WinHttpGetDefaultProxyConfiguration(&machine)) {
        Log(LogError, "WinHttpGetDefaultProxyConfiguration failed, errno = %d", LastError());
        *why = "WinHTTP's machine setting";
        return route;
    }
    const GlobalText proxy(machine.lpszProxy);
    const GlobalText bypass(machine.lpszProxyBypass);
    if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy && *proxy.Get()) {
        route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        route.proxy = TextOf(proxy);
        route.bypass = TextOf(bypass);
        *why = "WinHTTP's machine setting";
    } else {
        *why = "no proxy set";
    }
    return route;
}

std::string Describe(const ProxyRoute& route) {
    if (route.accessType != WINHTTP_ACCESS_TYPE_NO_PROXY && !route.proxy.empty()) {
        std::string text = WideToAnsi(route.proxy);
        if (!route.bypass.empty()) text += ", bypass " + WideToAnsi(route.bypass);
        return text;
    }
    return "direct";
}

std::wstring RegistryText(HKEY key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t))
        return std::wstring();
    // Room for a terminator the stored value may lack; once more if the
    // value grew in between.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LSTATUS status =
            RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &size);
        if (status == ERROR_SUCCESS) {
            text.resize(wcslen(text.c_str()));
            return text;
        }
        if (status != ERROR_MORE_DATA) break;
    }
    return std::wstring();  // unreadable or changing: taken as not set
}

const char* SchemeName(DWORD scheme) {
    return scheme == WINHTTP_AUTH_SCHEME_NEGOTIATE ? "Negotiate" : "NTLM";
}

}  // namespace

void LoadUserProxySettings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    const BOOL read = WinHttpGetIEProxyConfigForCurrentUser(&config);
    const int error = LastError();
    const GlobalText script(config.lpszAutoConfigUrl);
    const GlobalText proxy(config.lpszProxy);
    const GlobalText bypass(config.lpszProxyBypass);

    std::lock_guard<std::mutex> lock(settingsMutex);
    settings = UserProxySettings();
    settings.loaded = true;
    if (!read) {
        // No Internet Options (a service's account): the machine's setting
        // holds. A user who never had any is no fault.
        Log(error == ERROR_FILE_NOT_FOUND ? LogProgress : LogError,
            "WinHttpGetIEProxyConfigForCurrentUser failed, errno = %d", error);
        return;
    }
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.script = TextOf(script);
    settings.proxy = TextOf(proxy);
    settings.bypass = TextOf(bypass);
    Log(LogProgress, "user proxy settings: auto-detect %s, script %s, proxy %s, bypass %s",
        settings.autoDetect ? "on" : "off", Shown(settings.script).c_str(),
        Shown(settings.proxy).c_str(), Shown(settings.bypass).c_str());
    if ((settings.autoDetect || !settings.script.empty()) && !autoProxySession.IsOpen() &&
        autoProxySession.Open(WINHTTP_ACCESS_TYPE_NO_PROXY, std::wstring(), std::wstring()) == 0 &&
        !WinHttpSetTimeouts(autoProxySession.Get(), 10000, 3000, 3000, 5000))
        Log(LogError, "WinHttpSetTimeouts failed, errno = %d", LastError());
}

ProxyRoute RouteFor(const std::wstring& url, const UrlParts& parts) {
    std::wstring origin = parts.scheme + L"://" + parts.host;
    for (wchar_t& c : origin) c = static_cast<wchar_t>(towlower(c));
    origin += L":" + std::to_wstring(parts.port);
    UserProxySettings user;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        if (!settings.loaded) return ProxyRoute();
        const auto known = settings.routes.find(origin);
        if (known != settings.routes.end()) return known->second;
        user = settings;
        user.routes.clear();
    }

    std::string why;
    const ProxyRoute route = ChooseRoute(WithoutQuery(url), user, &why);
    std::lock_guard<std::mutex> lock(settingsMutex);
    // Two threads may have asked for one origin at a time: the first
    // answer holds, and is the one logged.
    const auto placed = settings.routes.emplace(origin, route);
    if (!placed.second) return placed.first->second;
    Log(LogProgress, "proxy for %s: %s (%s)", WideToAnsi(origin).c_str(), Describe(route).c_str(),
        why.c_str());
    if (route.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
        route.proxy.find_first_of(L"; ") != std::wstring::npos &&
        route.proxy.find(L'=') == std::wstring::npos)
        Log(LogWarning, "proxy for %s: a list of proxies, only its first is used",
            WideToAnsi(origin).c_str());
    return route;
}

ProxyPolicy ReadProxyPolicy() {
    ProxyPolicy policy;
    UniqueRegKey key;
    if (OpenPolicyKey(key) != ERROR_SUCCESS) return policy;
    policy.user = RegistryText(key.Get(), L"ProxyUser");
    policy.password = RegistryText(key.Get(), L"ProxyPassword");
    DWORD allow = 0;
    DWORD size = sizeof allow;
    if (RegGetValueW(key.Get(), nullptr, L"ProxyAllowBasicOverHttp", RRF_RT_REG_DWORD, nullptr,
                     &allow, &size) == ERROR_SUCCESS)
        policy.allowBasicOverHttp = allow != 0;
    return policy;
}

bool ApplyProxyAnswer(WinHttpRequest& request, const ProxyAnswer& answer) {
    if (answer.scheme == WINHTTP_AUTH_SCHEME_BASIC) {
        const ProxyPolicy policy = ReadProxyPolicy();
        if (policy.user.empty() || !policy.allowBasicOverHttp) return false;
        if (!WinHttpSetCredentials(request.Get(), WINHTTP_AUTH_TARGET_PROXY,
                                   WINHTTP_AUTH_SCHEME_BASIC, policy.user.c_str(),
                                   policy.password.c_str(), nullptr)) {
            Log(LogError, "WinHttpSetCredentials failed, errno = %d", LastError());
            return false;
        }
        return true;
    }
    // The user's own logon goes to proxies only. Where WinHTTP does not know
    // that policy yet, the low one (any server that asks) is bounded to this
    // request's own server: redirects are no longer followed.
    DWORD level = WINHTTP_AUTOLOGON_SECURITY_LEVEL_PROXY_ONLY;
    if (!WinHttpSetOption(request.Get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &level, sizeof level)) {
        level = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        if (!WinHttpSetOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &never,
                              sizeof never) ||
            !WinHttpSetOption(request.Get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &level,
                              sizeof level)) {
            Log(LogError, "proxy logon with %s not set, errno = %d", SchemeName(answer.scheme),
                LastError());
            return false;
        }
    }
    // The policy alone lets WinHTTP answer; naming the default credentials
    // as well is a help the platform may refuse.
    if (!WinHttpSetCredentials(request.Get(), WINHTTP_AUTH_TARGET_PROXY, answer.scheme, nullptr,
                               nullptr, nullptr))
        Log(LogWarning, "WinHttpSetCredentials with the user's logon failed, errno = %d",
            LastError());
    return true;
}

bool AnswerProxyChallenge(WinHttpRequest& request, ProxyAnswer* answer) {
    DWORD supported = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request.Get(), &supported, &first, &target)) {
        Log(LogError, "WinHttpQueryAuthSchemes failed, errno = %d", LastError());
        supported = 0;
    }
    // One more answer with the scheme in use; a second refusal moves on.
    if (answer->scheme != 0 && (supported & answer->scheme) && answer->uses < 2) {
        ++answer->uses;
        Log(LogProgress, "proxy asks again, answered with the same scheme");
        return true;
    }
    for (DWORD scheme : {DWORD{WINHTTP_AUTH_SCHEME_NEGOTIATE}, DWORD{WINHTTP_AUTH_SCHEME_NTLM}}) {
        if (!(supported & scheme) || (answer->tried & scheme)) continue;
        answer->tried |= scheme;
        answer->scheme = scheme;
        answer->uses = 1;
        if (!ApplyProxyAnswer(request, *answer)) continue;
        Log(LogProgress, "proxy asks for %s, answered with the user's logon", SchemeName(scheme));
        return true;
    }
    if ((supported & WINHTTP_AUTH_SCHEME_BASIC) && !(answer->tried & WINHTTP_AUTH_SCHEME_BASIC)) {
        answer->tried |= WINHTTP_AUTH_SCHEME_BASIC;
        answer->scheme = WINHTTP_AUTH_SCHEME_BASIC;
        answer->uses = 1;
        const ProxyPolicy policy = ReadProxyPolicy();
        // Basic travels as plain text to a proxy whatever the URL's scheme:
        // even an https request's tunnel is asked for in the clear.
        if (policy.user.empty()) {
            Log(LogWarning, "proxy asks for Basic, the machine policy sets no ProxyUser");
        } else if (!policy.allowBasicOverHttp) {
            Log(LogWarning,
                "proxy asks for Basic, the machine policy does not allow it in plain text");
        } else if (ApplyProxyAnswer(request, *answer)) {
            Log(LogProgress, "proxy asks for Basic, answered from the machine policy");
            return true;
        }
    }
    answer->scheme = 0;
    Log(LogError, "proxy authentication required, not answered, schemes = 0x%lx", supported);
    return false;
}

}  // namespace pennant
