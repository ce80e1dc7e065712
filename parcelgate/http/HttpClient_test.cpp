// The request bytes and session state that need no peer; the wire itself is
// checked against real servers in HttpSession_test.cpp.
#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include "http/HttpSession.h"
#include "http/ProxySettings.h"
#include "base/Utils.h"

namespace pcg {
namespace {

TEST(PcgRequestHead, SessionLinesInOrderHostWithoutPort80) {
    HttpSession session;
    session.SetCookieText("TOKEN123");
    session.Headers().push_back("Host:files.example.com");
    session.Headers().push_back("X-Progress-ID: {G}");
    std::string head;
    ASSERT_TRUE(session.BuildRequestHead("get", "http://files.example.com/d/f.bin?access_token=TOKEN123", head));
    EXPECT_EQ("GET /d/f.bin?access_token=TOKEN123 HTTP/1.0\r\n"
              "Host: files.example.com\r\n"
              "Keep-Alive: 300\r\n"
              "Connection: keep-alive\r\n"
              "Cookie: TOKEN123\r\n"
              "User-Agent: Mozilla/4.0 (compatible; Parcelgate)\r\n"
              "X-Progress-ID: {G}\r\n"
              "\r\n",
              head);
    // Only the session's own Host line goes out, whatever the extra lines say.
    session.Headers() = {"host :other", "X-Hosted: 1", "Hostname: x", "HOST:y"};
    ASSERT_TRUE(session.BuildRequestHead("GET", "http://files.example.com:81/", head));
    EXPECT_EQ(0u, head.find("GET / HTTP/1.0\r\nHost: files.example.com:81\r\n"));
    EXPECT_EQ(std::string::npos, head.find("other"));
    EXPECT_EQ(std::string::npos, head.find("HOST:y"));
    EXPECT_NE(std::string::npos, head.find("\r\nX-Hosted: 1\r\nHostname: x\r\n\r\n"));
}

TEST(PcgRequestHead, BodyAuthorizationAndProxyLines) {
    HttpSession session;
    session.Cookies() = {"a=1", "TOKEN"};
    session.SetMimeType("application/octet-stream");
    session.Document().Assign("12345");
    session.SetProxy("proxy.local", "3128", "pu", "pp");
    std::string head;
    ASSERT_TRUE(session.BuildRequestHead("Post", "http://h:8080/up", head));
    EXPECT_EQ("POST http://h:8080/up HTTP/1.0\r\n"
              "Host: h:8080\r\n"
              "Proxy-Authorization: Basic " + Base64Encode("pu:pp") + "\r\n"
              "Keep-Alive: 300\r\n"
              "Proxy-Connection: keep-alive\r\n"
              "Cookie: a=1; TOKEN\r\n"
              "User-Agent: Mozilla/4.0 (compatible; Parcelgate)\r\n"
              "Content-Type: application/octet-stream\r\n"
              "Content-Length: 5\r\n"
              "\r\n",
              head);

    // A proxy without a user sends no Proxy-Authorization. https goes through
    // the proxy's tunnel: the path only, the proxy's credentials went with
    // the CONNECT, 443 is the default port.
    session.SetProxy("proxy.local", "", "", "secret");
    ASSERT_TRUE(session.BuildRequestHead("GET", "http://h/x", head));
    EXPECT_EQ(0u, head.find("GET http://h/x HTTP/1.0\r\nHost: h\r\nKeep-Alive: 300\r\nProxy-Connection: keep-alive\r\n"));
    session.SetProxy("proxy.local", "", "pu", "secret");
    ASSERT_TRUE(session.BuildRequestHead("GET", "https://h/x", head));
    EXPECT_EQ(0u, head.find("GET /x HTTP/1.0\r\nHost: h\r\nKeep-Alive: 300\r\nConnection: keep-alive\r\n"));
    EXPECT_EQ(std::string::npos, head.find("Proxy-"));
    ASSERT_TRUE(session.BuildRequestHead("GET", "https://h:80/x", head));
    EXPECT_EQ(0u, head.find("GET /x HTTP/1.0\r\nHost: h:80\r\n"));
    // The proxy's host is read as a URL's: one that names a path or a user is none.
    for (const char* host : {"proxy.local/x", "u@proxy.local", "proxy.local:1"}) {
        session.SetProxy(host, "3128", "", "");
        EXPECT_FALSE(session.BuildRequestHead("GET", "http://h/x", head)) << host;
    }
}

TEST(PcgRequestHead, RefusesUrlsThatWouldForgeLines) {
    HttpSession session;
    std::string head;
    EXPECT_FALSE(session.BuildRequestHead("GET", "http://h/x\r\nEvil: 1", head));
    EXPECT_FALSE(session.SendRequest("GET", "http://h/x\r\nEvil: 1"));
    EXPECT_EQ(HttpError::BadUrl, session.LastError());
    EXPECT_EQ(500, session.ResultCode());
    EXPECT_FALSE(session.SendRequest("GET", "ftp://127.0.0.1:1/"));
    EXPECT_EQ(HttpError::UnsupportedScheme, session.LastError());

    // Nor may any value the session sends carry a line break or a NUL.
    for (const std::string& bad : {std::string("a\r\nEvil: 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
        HttpSession values;
        values.Headers().push_back("X-Name: " + bad);
        EXPECT_FALSE(values.SendRequest("GET", "http://127.0.0.1:1/x"));
        EXPECT_EQ(HttpError::BadRequestHeader, values.LastError());
        values.Headers().clear();
        values.SetMimeType(bad);
        values.Document().Assign("body");
        EXPECT_FALSE(values.BuildRequestHead("POST", "http://h/x", head));
        values.SetMimeType("text/plain");
        EXPECT_TRUE(values.BuildRequestHead("POST", "http://h/x", head));
    }
}

TEST(PcgSession, DefaultsClearAndCancel) {
    HttpSession session;
    EXPECT_EQ(500, session.ResultCode());
    EXPECT_EQ("text/html", session.MimeType());
    EXPECT_EQ("1.0", session.Protocol());
    EXPECT_EQ("80", session.TargetPort());
    EXPECT_EQ("8080", session.ProxyPort());
    EXPECT_EQ("", session.ProxyHost());
    EXPECT_EQ(90000, session.Timeout());
    EXPECT_TRUE(session.KeepAlive());
    EXPECT_EQ(300, session.KeepAliveTimeout());

    session.SetCookieText("line1\r\nline2\n\nline3\r");
    EXPECT_EQ((std::vector<std::string>{"line1", "line2", "line3"}), session.Cookies());
    session.SetCookieText("");
    EXPECT_TRUE(session.Cookies().empty());
    session.SetCookieText("TOKEN");
    session.SetMimeType("multipart/form-data; boundary=X");
    session.Headers().push_back("A: b");
    session.Document().Assign("body");
    session.Clear();
    EXPECT_TRUE(session.Headers().empty());
    EXPECT_EQ(0u, session.Document().Size());
    EXPECT_EQ("text/html", session.MimeType());
    EXPECT_EQ((std::vector<std::string>{"TOKEN"}), session.Cookies());

    session.CancelTransfer();
    EXPECT_TRUE(session.Stopped());
    EXPECT_EQ(0, session.Timeout());
    EXPECT_EQ(0, session.SendPieceSize());
    // A cancelled session stays cancelled: SendRequest restores the limits but fails.
    EXPECT_FALSE(session.SendRequest("GET", "http://127.0.0.1:9/"));
    EXPECT_EQ(HttpError::Stopped, session.LastError());
    EXPECT_EQ(HttpSession::kSendPieceSize, session.SendPieceSize());
}

TEST(PcgBuffer, StreamSemantics) {
    ByteBuffer buffer;
    buffer.Write("hello world");
    EXPECT_EQ(11u, buffer.Position());
    buffer.SetPosition(6);
    buffer.Write("WORLD!!");
    EXPECT_EQ("hello WORLD!!", buffer.Bytes());
    buffer.SetPosition(100);
    EXPECT_EQ(13u, buffer.Position());
    buffer.SetPosition(0);
    char five[5];
    EXPECT_EQ(5u, buffer.Read(five, sizeof five));
    EXPECT_EQ("hello", std::string(five, 5));
    buffer.SetPosition(11);
    EXPECT_EQ(2u, buffer.Read(five, sizeof five));
    EXPECT_EQ(0u, buffer.Read(five, sizeof five));
    EXPECT_EQ("hello WORLD!!", buffer.Take());
    EXPECT_EQ(0u, buffer.Size());
    buffer.Assign("x");
    EXPECT_EQ(0u, buffer.Position());
}

TEST(PcgProxy, ApplyCopiesOnlyWithAHost) {
    ProxySettings::Clear();
    HttpSession before;
    ProxySettings::ApplyProxy(&before);
    EXPECT_EQ("", before.ProxyHost());
    EXPECT_EQ("8080", before.ProxyPort());

    ProxySettings::SetProxy("", "3128", "user", "pass");
    HttpSession noHost;
    ProxySettings::ApplyProxy(&noHost);
    EXPECT_EQ("", noHost.ProxyHost());
    EXPECT_EQ("8080", noHost.ProxyPort());
    EXPECT_EQ("", noHost.ProxyUser());

    ProxySettings::SetProxy("proxy", "3128", "user", "pass");
    HttpSession withHost;
    ProxySettings::ApplyProxy(&withHost);
    ProxySettings::ApplyProxy(nullptr);
    EXPECT_EQ("proxy", withHost.ProxyHost());
    EXPECT_EQ("3128", withHost.ProxyPort());
    EXPECT_EQ("user", withHost.ProxyUser());
    EXPECT_EQ("pass", withHost.ProxyPass());

    // Later settings do not reach an existing session.
    ProxySettings::SetProxy("other", "1", "", "");
    EXPECT_EQ("proxy", withHost.ProxyHost());
    ProxySettings::Clear();
    EXPECT_EQ("", ProxySettings::Get().host);
}

}  // namespace
}  // namespace pcg
