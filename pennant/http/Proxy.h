// The way out to the network that the user's browser takes: the current
// user's Internet Options (auto-configuration script, automatic detection,
// fixed proxy and bypass list), then WinHTTP's own machine setting, then no
// proxy at all; and the answers to a proxy that asks who we are.
#pragma once

#include "http/WinHttp.h"

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace pennant {

// How a session reaches one origin: the access type and proxy list of
// WinHttpOpen (a named proxy list with its bypass list, no proxy, or
// WinHTTP's machine setting).
struct ProxyRoute {
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;
    std::wstring bypass;
};

// Reads the current user's Internet Options once for the run and logs them.
// Until it has run, every origin takes WinHTTP's machine setting.
void LoadUserProxySettings();

// The route to the URL's origin (scheme, host and port), chosen on first use
// and kept for the run; the choice and its reason are logged once per origin
// (never the URL's query).
ProxyRoute RouteFor(const std::wstring& url, const UrlParts& parts);

// Proxy credentials set by machine policy under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\pennant.
struct ProxyPolicy {
    std::wstring user;      // ProxyUser
    std::wstring password;  // ProxyPassword
    bool allowBasicOverHttp = false;  // ProxyAllowBasicOverHttp, non-zero
};
ProxyPolicy ReadProxyPolicy();

// The answer to a proxy's 407 that one request carries.
struct ProxyAnswer {
    DWORD tried = 0;   // schemes chosen so far
    DWORD scheme = 0;  // the scheme in use; 0 until a proxy asks
    int uses = 0;      // 407s answered with it
};

// Answers a 407 on `request`: the scheme in use once more when the proxy
// still offers it (WinHTTP keeps credentials for a single send, and a
// redirect's new hop asks again), else one the proxy offers that was not
// tried yet: Negotiate or NTLM with the logged-on user's own credentials,
// else Basic with the machine policy's, and only where that policy allows
// them in plain text. False (and one log line) when nothing is left.
bool AnswerProxyChallenge(WinHttpRequest& request, ProxyAnswer* answer);

// Sets the chosen scheme's credentials on `request` again before a send.
bool ApplyProxyAnswer(WinHttpRequest& request, const ProxyAnswer& answer);

}  // namespace pennant
