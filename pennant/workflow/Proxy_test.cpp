// The workflow behind a proxy: the real pennant.exe with the proxy set in the
// prefix's Internet Options (directly or by an auto-configuration script that
// nginx serves), against the tests' proxy. Each run checks which requests
// passed through the proxy, besides its exit code, reports and log lines.
// Wine's WinHTTP sends an IP-literal origin to a proxy in origin form, so the
// origins here are named localhost.
#include "PcgWirePeer.h"

#include "app/Codes.h"

#include "PennantRun.h"
#include "ProxyOptions.h"
#include "TestAuthority.h"
#include "TestInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

const TrustedTestAuthority tunnelAuthority;  // the https row's server

struct ProxyScenario {
    const char* name;
    DWORD options;       // UseProxy, UseScript, AutoDetect
    const char* script;  // served by nginx (pick.pac, direct.pac) or missing
    const char* bypass;
    bool asksBasic;      // the proxy wants Basic dTpw (u:p)
    const char* policyUser;
    bool allowPlainText;
    bool https;
    bool installs;       // else the network is lost, and the user exits
    const char* through;  // the methods the proxy let through, sorted
    std::vector<const char*> logLines;
};

const char Everything[] = "GET HEAD POST POST POST POST";

const ProxyScenario Scenarios[] = {
    {"UsersProxyServer", UseProxy, "", "", false, "", false, false, true, Everything,
     {"user proxy settings: auto-detect off, script (none), proxy 127.0.0.1:",
      "(the user's proxy server)"}},
    {"BypassListSkipsTheProxy", UseProxy, "", "localhost", false, "", false, false, true, "",
     {", bypass localhost (the user's proxy server)"}},
    {"ScriptPicksTheProxy", UseScript, "pick.pac", "", false, "", false, false, true, Everything,
     {"pick.pac)"}},
    {"ScriptSaysDirect", UseScript | UseProxy, "direct.pac", "", false, "", false, false, true,
     "", {": direct (auto-configuration script http://"}},
    {"UnreachableScriptAndDetectionFallBackToTheProxyServer", UseScript | AutoDetect | UseProxy,
     "missing.pac", "", false, "", false, false, true, Everything,
     {"missing.pac: script not downloaded, errno = 12167, trying the next source",
      "automatic proxy detection: no script found, errno = 12180, trying the next source",
      "(the user's proxy server)"}},
    {"BasicAnsweredFromThePolicy", UseProxy, "", "", true, "u", true, false, true,
     Everything, {"proxy asks for Basic, answered from the machine policy"}},
    {"BasicWithoutPolicyIsALostNetwork", UseProxy, "", "", true, "", false, false, false,
     "", {"proxy asks for Basic, the machine policy sets no ProxyUser",
      "proxy authentication required, not answered, schemes = 0x1", "download over, errno = 5"}},
    {"BasicNotAllowedInPlainTextIsALostNetwork", UseProxy, "", "", true, "u", false, false,
     false, "", {"the machine policy does not allow it in plain text", "download over, errno = 5"}},
    {"HttpsThroughTheTunnel", UseProxy, "", "", false, "", false, true, true,
     "CONNECT CONNECT POST POST POST POST", {"download OK", "Install check : PASS"}},
};

void PrintTo(const ProxyScenario& s, std::ostream* out) { *out << s.name; }

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The sorted methods of what the proxy received (with the credentials it
// asks for, if any); every origin named localhost.
std::string MethodsThrough(pcg_testing::PeerControl& proxy, const std::string& credentials) {
    std::vector<std::string> methods;
    for (const auto& request : proxy.Log()) {
        if (!credentials.empty() &&
            request.raw.find("\r\nProxy-Authorization: " + credentials + "\r\n") == std::string::npos)
            continue;
        const std::string line = request.raw.substr(0, request.raw.find("\r\n"));
        const std::string method = line.substr(0, line.find(' '));
        const std::string target = line.substr(method.size() + 1);
        EXPECT_EQ(0u, target.find(method == "CONNECT" ? "localhost:" : "http://localhost:")) << line;
        methods.push_back(method);
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
    const std::string credentials = s.asksBasic ? "Basic dTpw" : "";  // u:p
    proxy.RequireProxyAuthorization(credentials);
    const std::string proxyAddress = "127.0.0.1:" + Env("PCG_PROXY_PORT");
    WriteFile(NginxFile("pick.pac"),
              "function FindProxyForURL(url, host) { return \"PROXY " + proxyAddress + "\"; }");
    WriteFile(NginxFile("direct.pac"), "function FindProxyForURL(url, host) { return \"DIRECT\"; }");
    const std::string script = *s.script ? NginxUrl(s.script) : "";
    UserProxyOptions options(s.options, proxyAddress, s.bypass, script);
    ProxyPolicyValues policy(s.policyUser, "p", s.allowPlainText);

    ScratchProductKey key(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", std::string("proxy-") + s.name);
    TempDir dir("prx");
    RunTask task = RunTask::Named(std::string("proxy-") + s.name + ".exe");
    task.path = key.Text();
    std::replace(task.path.begin(), task.path.end(), '\\', '/');
    InstallerPlan plan;
    plan.key = key.Text();
    plan.path = dir / "Product";
    plan.version = task.version;
    ASSERT_TRUE(WriteTestInstaller(dir / "setup.exe", plan));
    if (s.https) {
        task.Serve(Server::NginxTls, "HTTPS_NGINX_PORT", ReadFile(dir / "setup.exe"));
    } else {
        task.Serve(Server::Nginx, "-", ReadFile(dir / "setup.exe"));
        task.url = Replaced(task.url, "127.0.0.1", "localhost");
    }
    const std::string reportsTo = Env("PENNANT_FEEDBACK_URL");
    SetEnvironmentVariableA("PENNANT_FEEDBACK_URL", Replaced(reportsTo, "127.0.0.1", "localhost").c_str());
    PennantRun run(task);
    SetEnvironmentVariableA("PENNANT_FEEDBACK_URL", reportsTo.c_str());
    ASSERT_NE(nullptr, run.WaitForOffer()) << "the offer never reached its place";

    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(s.installs ? Finished : NetworkLost));
    run.Command(s.installs ? DoneCommand : ExitCommand);
    EXPECT_EQ(s.installs ? 0 : 2, run.Exit());
    EXPECT_EQ(run.Bodies(s.installs ? std::vector<int>{Accepted, Downloaded, InstallStarted, Installed}
                                    : std::vector<int>{}),
              run.ReportBodies());
    EXPECT_EQ(s.through, MethodsThrough(proxy, credentials));
    const std::string log = run.Log();
    for (const char* line : s.logLines) EXPECT_NE(std::string::npos, log.find(line)) << line;
    proxy.RequireProxyAuthorization("");
}

INSTANTIATE_TEST_SUITE_P(Runs, ProxyWorkflow, ::testing::ValuesIn(Scenarios),
                         [](const ::testing::TestParamInfo<ProxyScenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
