// pennant.exe behind the tests' proxy, set in the prefix's Internet Options (the
// record Wine reads) directly or by a script nginx serves. Wine sends an IP-literal
// origin to a proxy in origin form: the origins here are localhost.
#include "PcgWirePeer.h"
#include "app/Handles.h"
#include "PennantRun.h"
#include "ProductRun.h"
#include "TestAuthority.h"
#include "TestInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pennant;
using namespace testing_support;

namespace {

const TrustedTestAuthority tunnelAuthority;  // the https row's server
enum : DWORD { UseProxy = 2, UseScript = 4, AutoDetect = 8 };  // the record's flags
enum Basic { NotAsked, NoPolicy, NotInPlainText, Allowed };    // the proxy wants u:p

struct ProxyScenario {
    const char* name;
    DWORD settings;
    const char *script, *bypass;  // script: pick.pac, direct.pac (nginx serves both) or missing
    Basic basic;
    bool https;
    const char* through;  // methods the proxy let through, sorted; none: the network is lost
    std::vector<const char*> logLines;
};

const char All[] = "GET HEAD POST POST POST POST";
const ProxyScenario Scenarios[] = {
    {"ProxyServer", UseProxy, "", "", NotAsked, false, All, {"(the user's proxy server)"}},
    {"BypassList", UseProxy, "", "localhost", NotAsked, false, "", {", bypass localhost (the"}},
    {"ScriptPicksTheProxy", UseScript, "pick.pac", "", NotAsked, false, All, {"pick.pac)"}},
    {"ScriptSaysDirect", UseScript | UseProxy, "direct.pac", "", NotAsked, false, "",
     {": direct (auto-configuration script http://"}},
    {"NoScriptNoDetection", UseScript | AutoDetect | UseProxy, "missing.pac", "", NotAsked, false,
     All, {"missing.pac: script not downloaded, errno = 12167, trying the next source",
           "automatic proxy detection: no script found, errno = 12180, trying the next source"}},
    {"BasicFromPolicy", UseProxy, "", "", Allowed, false, All,
     {"proxy asks for Basic, answered from the machine policy"}},
    {"BasicWithoutPolicy", UseProxy, "", "", NoPolicy, false, nullptr,
     {"the machine policy sets no ProxyUser", "not answered, schemes = 0x1"}},
    {"BasicNotInPlainText", UseProxy, "", "", NotInPlainText, false, nullptr,
     {"the machine policy does not allow it in plain text"}},
    {"HttpsTunnel", UseProxy, "", "", NotAsked, true, "CONNECT CONNECT POST POST POST POST", {}},
};
void PrintTo(const ProxyScenario& s, std::ostream* out) { *out << s.name; }

std::string Localhost(std::string url) {
    return url.replace(url.find("127.0.0.1"), 9, "localhost");
}
std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }
std::string Counted(const std::string& text) { return Dword(DWORD(text.size())) + text; }

// The user's Internet Options and pennant's machine policy, for one run.
struct PrefixSettings {
    PrefixSettings(const ProxyScenario& s, const std::string& proxy, const std::string& script) {
        const std::string record = Dword(0x46) + Dword(1) + Dword(s.settings | 1) + Counted(proxy) +
                                   Counted(s.bypass) + Counted(script) + std::string(32, '\0');
        RegSetKeyValueA(HKEY_CURRENT_USER, Connections, "DefaultConnectionSettings", REG_BINARY,
                        record.data(), DWORD(record.size()));
        if (s.basic < NotInPlainText) return;
        UniqueRegKey key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, Policy, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, key.Receive(), nullptr);
        RegSetKeyValueA(key.Get(), nullptr, "ProxyUser", REG_SZ, "u", 2);
        RegSetKeyValueA(key.Get(), nullptr, "ProxyPassword", REG_SZ, "p", 2);
        const DWORD allow = s.basic == Allowed;
        RegSetKeyValueA(key.Get(), nullptr, "ProxyAllowBasicOverHttp", REG_DWORD, &allow, sizeof allow);
    }
    ~PrefixSettings() {
        RegDeleteTreeA(HKEY_CURRENT_USER, Connections);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Policy, KEY_WOW64_64KEY, 0);
    }
    const char* Connections =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    const char* Policy = "SOFTWARE\\Policies\\pennant";
};

// The sorted methods the proxy received with the credentials it wants, if any.
std::string MethodsThrough(pcg_testing::PeerControl& proxy, const std::string& credentials) {
    const std::string wanted = credentials.empty() ? "" : "\r\nProxy-Authorization: " + credentials;
    std::vector<std::string> methods;
    for (const auto& request : proxy.Log()) {
        const std::string line = request.raw.substr(0, request.raw.find("\r\n"));
        if (request.raw.find(wanted) == std::string::npos) continue;
        methods.push_back(line.substr(0, line.find(' ')));
    }
    std::sort(methods.begin(), methods.end());
    std::string joined;
    for (const auto& method : methods) joined += (joined.empty() ? "" : " ") + method;
    return joined;
}

class ProxyWorkflow : public ::testing::TestWithParam<ProxyScenario> {};
TEST_P(ProxyWorkflow, PassesThroughTheProxyItWasGiven) {
    const ProxyScenario& s = GetParam();
    pcg_testing::PeerControl proxy("PCG_PROXY_CONTROL");
    proxy.Reset();
    const std::string credentials = s.basic != NotAsked ? "Basic dTpw" : "";  // u:p
    proxy.RequireProxyAuthorization(credentials);
    const std::string address = "127.0.0.1:" + Env("PCG_PROXY_PORT");
    const std::string answer = "function FindProxyForURL(url, host) { return \"";
    WriteFile(NginxFile("pick.pac"), answer + "PROXY " + address + "\"; }");
    WriteFile(NginxFile("direct.pac"), answer + "DIRECT\"; }");
    PrefixSettings settings(s, address, *s.script ? NginxUrl(s.script) : "");

    ProductRun product(std::string("proxy-") + s.name);
    RunTask& task = product.task;
    const std::string installer = product.Installer();
    ASSERT_FALSE(installer.empty());
    task.Serve(s.https ? Server::NginxTls : Server::Nginx, s.https ? "HTTPS_NGINX_PORT" : "-",
               installer);
    if (!s.https) task.url = Localhost(task.url);
    const std::string reportsTo = Env("PENNANT_FEEDBACK_URL");
    SetEnvironmentVariableA("PENNANT_FEEDBACK_URL", Localhost(reportsTo).c_str());
    PennantRun run(task);
    SetEnvironmentVariableA("PENNANT_FEEDBACK_URL", reportsTo.c_str());
    ASSERT_NE(nullptr, run.WaitForOffer());

    run.Command(UpgradeCommand);  // a lost network is left by Exit
    ASSERT_TRUE(run.WaitPhase(s.through ? Finished : NetworkLost));
    run.Command(s.through ? DoneCommand : ExitCommand);
    EXPECT_EQ(s.through ? 0 : 2, run.Exit());
    const std::vector<int> reports = {Accepted, Downloaded, InstallStarted, Installed};
    EXPECT_EQ(run.Bodies(s.through ? reports : std::vector<int>{}), run.ReportBodies());
    EXPECT_EQ(s.through ? s.through : "", MethodsThrough(proxy, credentials));
    for (const char* line : s.logLines) EXPECT_NE(std::string::npos, run.Log().find(line)) << line;
    for (const auto& sent : proxy.Log()) {  // an answered 407 keeps the connection
        if (credentials.empty() || sent.raw.find(credentials) == std::string::npos) continue;
        EXPECT_EQ(std::string::npos, sent.raw.find("onnection: close")) << sent.raw;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, ProxyWorkflow, ::testing::ValuesIn(Scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
