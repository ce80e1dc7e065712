// The session against real loopback peers: the tests' raw-socket server
// (peer_pcg_wire.py), which records the exact request bytes and answers as
// scripted, and a small forwarding proxy (peer_pcg_proxy.py).
#include <winsock2.h>
#include <windows.h>

#include "http/HttpSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "http/ProxySettings.h"
#include "base/Utils.h"
#include "PcgWirePeer.h"
#include "TestFiles.h"

namespace pcg {
namespace {

using pcg_testing::BodyOf;
using pcg_testing::HeadLines;
using pcg_testing::Action;
using pcg_testing::PeerControl;
using pcg_testing::Recorded;
using pcg_testing::WireUrl;

const std::string kWirePort = pcg_testing::EnvText("PCG_WIRE_PORT");

class PcgWire : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wire_.Available()) << "run under with_peers.py --pcg-wire --pcg-proxy";
        wire_.Reset();
        ProxySettings::Clear();
    }

    double SecondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    PeerControl wire_{"PCG_WIRE_CONTROL"};
};

TEST_F(PcgWire, GetSendsTheSessionLinesInOrder) {
    HttpSession session;
    session.SetCookieText("TOKEN-abc");
    session.Headers().push_back("X-Progress-ID: {0000}");
    ASSERT_TRUE(session.SendRequest("get", WireUrl("/files/a.bin?access_token=TOKEN-abc")));
    EXPECT_EQ(200, session.ResultCode());
    EXPECT_EQ("ok", session.Document().Bytes());
    EXPECT_EQ(0u, session.Document().Position());

    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("GET /files/a.bin?access_token=TOKEN-abc HTTP/1.0\r\n"
              "Host: 127.0.0.1:" + kWirePort + "\r\n"
              "Keep-Alive: 300\r\n"
              "Connection: keep-alive\r\n"
              "Cookie: TOKEN-abc\r\n"
              "User-Agent: Mozilla/4.0 (compatible; Parcelgate)\r\n"
              "X-Progress-ID: {0000}\r\n"
              "\r\n",
              log[0].raw);
}

TEST_F(PcgWire, PostSendsTypeLengthAndBody) {
    HttpSession session;
    std::string body;
    for (int i = 0; i < 300000; ++i) body += static_cast<char>(i * 31);  // several send pieces
    session.SetMimeType("application/octet-stream");
    session.Headers() = {"Content-Disposition: attachment; filename=\"a.bin\"", "Session-ID: 7",
                         "Host:127.0.0.1:" + kWirePort, "X-Content-Range: bytes 0-299999/300000"};
    session.Document().Assign(body);
    wire_.Plan({Action::Answer("HTTP/1.1 201 Created\r\nContent-Length: 4\r\n\r\ndone")});
    ASSERT_TRUE(session.SendRequest("POST", WireUrl("/up")));
    EXPECT_EQ(201, session.ResultCode());
    EXPECT_EQ("Created", session.ResultString());
    EXPECT_EQ("done", session.Document().Bytes());
    EXPECT_EQ((std::vector<std::string>{"HTTP/1.1 201 Created", "Content-Length: 4"}), session.Headers());

    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ((std::vector<std::string>{
                  "POST /up HTTP/1.0",
                  "Host: 127.0.0.1:" + kWirePort,
                  "Keep-Alive: 300",
                  "Connection: keep-alive",
                  "User-Agent: Mozilla/4.0 (compatible; Parcelgate)",
                  "Content-Type: application/octet-stream",
                  "Content-Length: 300000",
                  "Content-Disposition: attachment; filename=\"a.bin\"",
                  "Session-ID: 7",
                  "X-Content-Range: bytes 0-299999/300000",
              }),
              HeadLines(log[0].raw));
    EXPECT_TRUE(BodyOf(log[0].raw) == body);
}

TEST_F(PcgWire, AnUploadFollowsOnly307And308WithItsLinesAndBodyAgain) {
    const std::string moved = " Moved\r\nContent-Length: 0\r\nLocation: again\r\n\r\n";
    wire_.Plan({Action::Answer("HTTP/1.1 307" + moved), Action::Answer("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"),
                Action::Answer("HTTP/1.1 302" + moved)});
    HttpSession session;
    for (int expected : {201, 302}) {  // a POST does not turn into a GET
        session.Headers() = {"Session-ID: 7"};
        session.Document().Assign("chunk");
        ASSERT_TRUE(session.SendRequest("POST", WireUrl("/up/first")));
        EXPECT_EQ(expected, session.ResultCode());
    }
    const std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(0u, log[1].raw.find("POST /up/again HTTP/1.0\r\n"));
    EXPECT_TRUE(log[1].raw.find("\r\nSession-ID: 7\r\n") != std::string::npos && BodyOf(log[1].raw) == "chunk");
}

TEST_F(PcgWire, ChunkedAndCloseDelimitedBodiesArriveWholeAndErrorPagesCount) {
    std::string big(200000, 'z');
    for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>(i);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", big.size());
    Action chunked = Action::Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                      "4\r\nabcd\r\n" + std::string(size) + "\r\n" + big + "\r\n0\r\n\r\n");
    chunked.piece = 7001;
    chunked.gapMs = 1;
    Action closed = Action::Answer("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<h1>gone</h1>", "close");
    closed.piece = 3;
    closed.gapMs = 5;
    wire_.Plan({chunked, closed});

    HttpSession session;
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/chunked")));
    EXPECT_TRUE(session.Document().Bytes() == "abcd" + big);
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/closed")));
    EXPECT_EQ(404, session.ResultCode());
    EXPECT_EQ("<h1>gone</h1>", session.Document().Bytes());
    EXPECT_FALSE(session.ConnectionOpen());
}

TEST_F(PcgWire, KeptAliveConnectionIsReusedUntilTheServerAsksToClose) {
    wire_.Plan({
        Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"),
        Action::Answer("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\n2"),
        Action::Answer("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\n3"),
        Action::Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n4"),
        Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n5"),
    });
    HttpSession session;
    std::string bodies;
    for (int i = 0; i < 5; ++i) {
        session.Clear();
        ASSERT_TRUE(session.SendRequest("GET", WireUrl("/" + std::to_string(i)))) << i;
        bodies += session.Document().Bytes();
    }
    EXPECT_EQ("12345", bodies);
    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(5u, log.size());
    // 1-3 share a connection; "Connection: close" ends it; an HTTP/1.0 answer
    // without keep-alive ends the next.
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_EQ(log[0].connection, log[2].connection);
    EXPECT_NE(log[2].connection, log[3].connection);
    EXPECT_NE(log[3].connection, log[4].connection);
    EXPECT_TRUE(session.ConnectionOpen());
}

TEST_F(PcgWire, ConnectionDroppedWhileIdleIsReplacedTransparently) {
    // The server promises keep-alive but closes right after answering.
    wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", "close"),
                Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb")});
    HttpSession session;
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/one")));
    Sleep(200);
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/two")));
    EXPECT_EQ("b", session.Document().Bytes());
    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_NE(log[0].connection, log[1].connection);

    // Bytes beyond an answer make its connection unfit for the next request.
    wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\ncHTTP/1.1 200 OK\r\n\r\n"),
                Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nd")});
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/three")));
    EXPECT_EQ("c", session.Document().Bytes());
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/four")));
    EXPECT_EQ("d", session.Document().Bytes());
    log = wire_.Log();
    ASSERT_EQ(4u, log.size());
    EXPECT_NE(log[2].connection, log[3].connection);
}

TEST_F(PcgWire, OnlyRequestsWithoutEffectsGoAgainAfterAStaleConnection) {
    // The kept-alive connection dies as the second request arrives on it: the
    // server reads the request and closes without a word. It may have applied
    // it, so a POST must fail rather than be sent a second time.
    struct Case {
        const char* method;
        bool replayed;
    };
    for (const Case& c : {Case{"GET", true}, Case{"HEAD", true}, Case{"POST", false}}) {
        SCOPED_TRACE(c.method);
        wire_.Reset();
        wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"), Action::Answer("", "close"),
                    Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")});
        HttpSession session;
        ASSERT_TRUE(session.SendRequest("GET", WireUrl("/first")));
        session.Clear();
        if (std::string(c.method) == "POST") session.Document().Assign("chunk 7");
        EXPECT_EQ(c.replayed, session.SendRequest(c.method, WireUrl("/second")));
        std::vector<Recorded> log = wire_.Log();
        ASSERT_EQ(c.replayed ? 3u : 2u, log.size());
        EXPECT_EQ(log[0].connection, log[1].connection);
        if (c.replayed) {
            EXPECT_EQ(HeadLines(log[1].raw), HeadLines(log[2].raw));
            EXPECT_NE(log[1].connection, log[2].connection);
        } else {
            EXPECT_EQ(HttpError::ClosedEarly, session.LastError());
        }
    }
}

TEST_F(PcgWire, CookieListStaysBoundedWhateverTheServerSets) {
    // A progress poll runs for hours; each answer may set new cookies.
    std::string setCookies;
    for (int i = 0; i < 200; ++i) setCookies += "Set-Cookie: c" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    setCookies += "Set-Cookie: huge=" + std::string(5000, 'h') + "\r\n";
    wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\n" + setCookies + "Content-Length: 0\r\n\r\n"),
                Action::Answer("HTTP/1.1 200 OK\r\nSet-Cookie: c3=new\r\nSet-Cookie: c999=late\r\nContent-Length: 0\r\n\r\n")});
    HttpSession session;
    session.SetCookieText("TOKEN");
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/poll")));
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/poll")));
    const std::vector<std::string>& cookies = session.Cookies();
    ASSERT_EQ(50u, cookies.size());
    EXPECT_EQ("TOKEN", cookies[0]);
    EXPECT_EQ("c3=new", cookies[4]);  // entries already held are still replaced
    EXPECT_EQ("c48=48", cookies.back());
}

TEST_F(PcgWire, SetCookieAddsAndReplacesEntriesThatSurviveClear) {
    wire_.Plan({
        Action::Answer("HTTP/1.1 200 OK\r\nSet-Cookie: sid=1; Path=/; HttpOnly\r\n"
                        "set-cookie: lang=zh\r\nContent-Length: 0\r\n\r\n"),
        Action::Answer("HTTP/1.1 200 OK\r\nSet-Cookie: sid=2\r\nSet-Cookie: junk\r\nContent-Length: 0\r\n\r\n"),
    });
    HttpSession session;
    session.SetCookieText("TOKEN");
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/a")));
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/b")));
    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/c")));
    EXPECT_EQ((std::vector<std::string>{"TOKEN", "sid=2", "lang=zh"}), session.Cookies());
    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("Cookie: TOKEN", HeadLines(log[0].raw)[4]);
    EXPECT_EQ("Cookie: TOKEN; sid=1; lang=zh", HeadLines(log[1].raw)[4]);
    EXPECT_EQ("Cookie: TOKEN; sid=2; lang=zh", HeadLines(log[2].raw)[4]);
}

TEST_F(PcgWire, ProxyGetsTheWholeUrlAndItsAuthorization) {
    PeerControl proxy("PCG_PROXY_CONTROL");
    ASSERT_TRUE(proxy.Available());
    proxy.Reset();
    const std::string expected = "Basic " + Base64Encode("puser:ppass");
    proxy.RequireProxyAuthorization(expected);
    wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\norigin!")});

    ProxySettings::SetProxy("127.0.0.1", pcg_testing::EnvText("PCG_PROXY_PORT"), "puser", "ppass");
    HttpSession session;
    ProxySettings::ApplyProxy(&session);
    session.SetCookieText("T");
    const std::string url = WireUrl("/via/proxy?access_token=T");
    ASSERT_TRUE(session.SendRequest("GET", url)) << HttpErrorName(session.LastError());
    EXPECT_EQ(200, session.ResultCode());
    EXPECT_EQ("origin!", session.Document().Bytes());

    std::vector<Recorded> seen = proxy.Log();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ((std::vector<std::string>{
                  "GET " + url + " HTTP/1.0",
                  "Host: 127.0.0.1:" + kWirePort,
                  "Proxy-Authorization: " + expected,
                  "Keep-Alive: 300",
                  "Proxy-Connection: keep-alive",
                  "Cookie: T",
                  "User-Agent: Mozilla/4.0 (compatible; Parcelgate)",
              }),
              HeadLines(seen[0].raw));
    std::vector<Recorded> origin = wire_.Log();
    ASSERT_EQ(1u, origin.size());
    EXPECT_EQ("GET /via/proxy?access_token=T HTTP/1.0", HeadLines(origin[0].raw)[0]);

    // A wrong password: the proxy's 407 is a completed exchange.
    ProxySettings::SetProxy("127.0.0.1", pcg_testing::EnvText("PCG_PROXY_PORT"), "puser", "wrong");
    HttpSession denied;
    ProxySettings::ApplyProxy(&denied);
    ASSERT_TRUE(denied.SendRequest("GET", url));
    EXPECT_EQ(407, denied.ResultCode());
    EXPECT_EQ(1u, wire_.Log().size());
    proxy.RequireProxyAuthorization("");
    ProxySettings::Clear();
}

TEST_F(PcgWire, EmptyProxyHostMeansDirectEvenWithPortAndUser) {
    PeerControl proxy("PCG_PROXY_CONTROL");
    proxy.Reset();
    ProxySettings::SetProxy("", pcg_testing::EnvText("PCG_PROXY_PORT"), "puser", "ppass");
    HttpSession session;
    ProxySettings::ApplyProxy(&session);
    ASSERT_TRUE(session.SendRequest("GET", WireUrl("/direct")));
    EXPECT_EQ(1u, wire_.Log().size());
    EXPECT_EQ(0u, proxy.Log().size());
    EXPECT_EQ("GET /direct HTTP/1.0", HeadLines(wire_.Log()[0].raw)[0]);
    ProxySettings::Clear();
}

TEST_F(PcgWire, SilentServerTimesOutPerStepAndKeepsResult500) {
    HttpSession session;
    session.SetTimeout(700);
    wire_.Plan({Action::Answer("", "hang")});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.HTTPMethod("GET", WireUrl("/silent")));
    double seconds = SecondsSince(start);
    EXPECT_EQ(HttpError::Timeout, session.LastError());
    EXPECT_EQ(500, session.ResultCode());
    EXPECT_GE(seconds, 0.6);
    EXPECT_LT(seconds, 5.0);

    // A status line, then silence: the code is known but the exchange failed.
    wire_.Plan({Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345", "hang")});
    session.Clear();
    EXPECT_FALSE(session.HTTPMethod("GET", WireUrl("/half")));
    EXPECT_EQ(HttpError::Timeout, session.LastError());
    EXPECT_EQ(200, session.ResultCode());
    EXPECT_FALSE(session.ConnectionOpen());
    // What arrived stands in the session, as after any request.
    EXPECT_EQ((std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 10"}), session.Headers());
    EXPECT_EQ("12345", session.Document().Bytes());

    // A trickle keeps each step within the limit: the request succeeds.
    Action trickle = Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nslowly");
    trickle.piece = 4;
    trickle.gapMs = 300;
    wire_.Plan({trickle});
    session.Clear();
    EXPECT_TRUE(session.HTTPMethod("GET", WireUrl("/trickle"))) << HttpErrorName(session.LastError());
    EXPECT_EQ("slowly", session.Document().Bytes());
}

TEST_F(PcgWire, ConnectStepHasTheTimeOut) {
    HttpSession session;
    session.SetTimeout(800);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.HTTPMethod("GET", "http://127.0.0.1:" + pcg_testing::EnvText("PCG_WIRE_BLACKHOLE") + "/x"));
    double seconds = SecondsSince(start);
    EXPECT_EQ(HttpError::Timeout, session.LastError());
    EXPECT_GE(seconds, 0.7);
    EXPECT_LT(seconds, 5.0);
}

// A cancel from another thread ends the request wherever it waits: in the
// connect step, for an answer, and with a body the server does not read (it
// reads only the head and sits still, so the body fills the socket buffers).
TEST_F(PcgWire, CancelFromAnotherThreadEndsEveryWait) {
    Action stall;
    stall.read = "head";
    stall.then = "hang";
    stall.send = "";
    wire_.Plan({Action::Answer("", "hang"), stall});
    struct Case {
        const char* method;
        std::string url;
        size_t body;
    };
    for (const Case& c : {Case{"GET", "http://127.0.0.1:" + pcg_testing::EnvText("PCG_WIRE_BLACKHOLE") + "/x", 0},
                          Case{"GET", WireUrl("/wait"), 0}, Case{"POST", WireUrl("/stall"), 64 << 20}}) {
        SCOPED_TRACE(c.url);
        HttpSession session;
        session.Document().Assign(std::string(c.body, 'u'));
        std::atomic<bool> finished{false};
        bool result = true;
        std::thread request([&] {
            result = session.SendRequest(c.method, c.url);
            finished = true;
        });
        Sleep(1000);
        EXPECT_FALSE(finished.load());
        auto start = std::chrono::steady_clock::now();
        session.CancelTransfer();
        request.join();
        EXPECT_FALSE(result);
        EXPECT_EQ(HttpError::Stopped, session.LastError());
        EXPECT_LT(SecondsSince(start), 3.0);
    }
}

TEST_F(PcgWire, BadAnswersFailTheRequestWithoutHangingOrGrowing) {
    struct Case {
        const char* name;
        Action action;
        HttpError error;
    };
    const Case cases[] = {
        {"no status line", Action::Answer("<html>no status</html>\r\n\r\n", "hang"), HttpError::BadStatusLine},
        {"broken chunks", Action::Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcdefgh\r\n", "hang"),
         HttpError::BadChunk},
        {"absurd length", Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nx", "hang"),
         HttpError::BadContentLength},
        {"huge length", Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\nx", "hang"),
         HttpError::BodyTooLarge},
        {"endless header", Action::Then("endless_header"), HttpError::HeaderTooLarge},
        {"cut body", Action::Answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this", "close"),
         HttpError::ClosedEarly},
        {"closed at once", Action::Answer("", "close"), HttpError::ClosedEarly},
    };
    for (const Case& c : cases) {
        wire_.Plan({c.action});
        HttpSession session;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(session.SendRequest("GET", WireUrl("/bad"))) << c.name;
        EXPECT_EQ(c.error, session.LastError()) << c.name << ": " << HttpErrorName(session.LastError());
        EXPECT_LT(SecondsSince(start), 10.0) << c.name;
        EXPECT_FALSE(session.ConnectionOpen()) << c.name;
    }

    // An endless close-delimited body stops at the body limit.
    wire_.Plan({Action::Then("endless_body")});
    HttpSession session;
    session.SetMaxBodyBytes(4 * 1024 * 1024);
    EXPECT_FALSE(session.SendRequest("GET", WireUrl("/endless")));
    EXPECT_EQ(HttpError::BodyTooLarge, session.LastError());
    EXPECT_EQ(200, session.ResultCode());
}

TEST_F(PcgWire, ManySessionsOnManyThreadsKeepTheirOwnState) {
    // Every worker owns a session; nothing may leak between them.
    constexpr int kThreads = 8;
    constexpr int kRequests = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            HttpSession session;
            session.SetCookieText("T" + std::to_string(t));
            for (int i = 0; i < kRequests; ++i) {
                session.Clear();
                session.Document().Assign(std::string(1000 + t, static_cast<char>('a' + t)));
                if (!session.SendRequest("POST", WireUrl("/t" + std::to_string(t))) ||
                    session.Document().Bytes() != "ok" || session.Cookies() != std::vector<std::string>{"T" + std::to_string(t)})
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    std::vector<Recorded> log = wire_.Log();
    ASSERT_EQ(static_cast<size_t>(kThreads * kRequests), log.size());
    for (const Recorded& request : log) {
        std::vector<std::string> lines = HeadLines(request.raw);
        ASSERT_GE(lines.size(), 5u);
        int t = lines[0][7] - '0';  // "POST /t<digit> HTTP/1.0"
        EXPECT_EQ("Cookie: T" + std::to_string(t), lines[4]);
        EXPECT_EQ(std::string(1000 + t, static_cast<char>('a' + t)), BodyOf(request.raw));
    }
}

TEST_F(PcgWire, RandomAnswersEndQuicklyEitherWay) {
    std::mt19937 random(2024);
    const std::string pieces[] = {"HTTP/1.1 200 OK\r\n", "HTTP/1.0 404 X\r\n", "Content-Length: 4\r\n",
                                  "Transfer-Encoding: chunked\r\n", "Connection: close\r\n", "\r\n", "4\r\n",
                                  "data", "0\r\n", "Set-Cookie: a=b\r\n", "ffffffffff\r\n", ":\r\n"};
    for (int round = 0; round < 60; ++round) {
        std::string answer;
        int count = 1 + static_cast<int>(random() % 10);
        for (int i = 0; i < count; ++i) {
            if (random() % 5 == 0) answer += static_cast<char>(random());
            else answer += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        }
        Action action = Action::Answer(answer, "close");
        action.piece = 1 + static_cast<int>(random() % 16);
        wire_.Plan({action});
        HttpSession session;
        auto start = std::chrono::steady_clock::now();
        bool ok = session.SendRequest("GET", WireUrl("/random"));
        EXPECT_LT(SecondsSince(start), 5.0) << round;
        if (ok) {
            EXPECT_GE(session.ResultCode(), 100) << round;
            EXPECT_LE(session.Document().Size(), answer.size()) << round;
        } else {
            EXPECT_NE(HttpError::None, session.LastError()) << round;
        }
    }
}

TEST_F(PcgWire, NobodyListeningIsAConnectFailure) {
    HttpSession session;
    EXPECT_FALSE(session.SendRequest("GET", "http://127.0.0.1:1/nothing"));
    EXPECT_EQ(HttpError::Connect, session.LastError());
    EXPECT_EQ(500, session.ResultCode());
    EXPECT_TRUE(session.Headers().empty());
    EXPECT_FALSE(session.SendRequest("GET", "http://no-such-host.invalid/x"));
    EXPECT_EQ(HttpError::Resolve, session.LastError());
}

TEST(PcgNginxPeer, DownloadsWholeFilesOverOneKeptAliveConnection) {
    const std::string port = pcg_testing::EnvText("HTTP_NGINX_PORT");
    ASSERT_FALSE(port.empty()) << "run under with_peers.py --nginx";
    std::string content(3 * 1024 * 1024 + 17, '\0');
    uint32_t x = 12345;
    for (char& c : content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    testing_support::WriteFile(pcg_testing::EnvText("HTTP_NGINX_ROOT") + "\\pcg-big.bin", content);

    HttpSession session;
    session.SetCookieText("TOKEN");
    const std::string base = "http://127.0.0.1:" + port;
    ASSERT_TRUE(session.SendRequest("GET", base + "/pcg-big.bin?access_token=TOKEN"));
    EXPECT_EQ(200, session.ResultCode());
    EXPECT_TRUE(session.Document().Bytes() == content);
    // nginx keeps an HTTP/1.0 connection that asked for keep-alive.
    EXPECT_TRUE(session.ConnectionOpen());

    session.Clear();
    ASSERT_TRUE(session.SendRequest("GET", base + "/missing.bin?access_token=TOKEN"));
    EXPECT_EQ(404, session.ResultCode());
    EXPECT_NE(std::string::npos, session.Document().Bytes().find("404"));

    // The workers add their own "Host:" line; nginx would answer 400 to two.
    session.Clear();
    session.Headers().push_back("Host:127.0.0.1:" + port);
    ASSERT_TRUE(session.SendRequest("GET", base + "/pcg-big.bin"));
    EXPECT_EQ(200, session.ResultCode());

    // nginx refuses a POST to a static file, but the exchange completes.
    session.Clear();
    session.Document().Assign("payload");
    ASSERT_TRUE(session.SendRequest("POST", base + "/pcg-big.bin"));
    EXPECT_EQ(405, session.ResultCode());
}

}  // namespace
}  // namespace pcg
