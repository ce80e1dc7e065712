#include "http/HttpParser.h"

#include <gtest/gtest.h>

#include <random>

namespace pcg {
namespace {

struct Parsed {
    ParseStatus status;
    size_t consumed;
};

Parsed FeedAll(ResponseParser& parser, const std::string& bytes) {
    size_t consumed = 0;
    ParseStatus status = parser.Feed(bytes.data(), bytes.size(), &consumed);
    return {status, consumed};
}

// Feeds one byte at a time; the status after the last byte fed.
Parsed FeedBytewise(ResponseParser& parser, const std::string& bytes) {
    size_t total = 0;
    ParseStatus status = ParseStatus::NeedMore;
    for (size_t i = 0; i < bytes.size() && status == ParseStatus::NeedMore; ++i) {
        size_t consumed = 0;
        status = parser.Feed(bytes.data() + i, 1, &consumed);
        total += consumed;
    }
    return {status, total};
}

TEST(PcgParseUrl, SplitsEveryPart) {
    UrlParts p;
    ASSERT_TRUE(ParseUrl("http://Files.Example.com:8080/a/b?access_token=t?X-Progress-ID={G}", "80", p));
    EXPECT_EQ("http", p.scheme);
    EXPECT_EQ("Files.Example.com", p.host);
    EXPECT_EQ("Files.Example.com:8080", p.hostAndPort);
    EXPECT_EQ("8080", p.port);
    EXPECT_EQ("/a/b?access_token=t?X-Progress-ID={G}", p.pathAndQuery);

    ASSERT_TRUE(ParseUrl("HTTP://host", "80", p));
    EXPECT_EQ("http", p.scheme);
    EXPECT_EQ("80", p.port);
    EXPECT_EQ("/", p.pathAndQuery);
    EXPECT_EQ("host", p.hostAndPort);

    ASSERT_TRUE(ParseUrl("host:81?q=1", "80", p));
    EXPECT_EQ("http", p.scheme);
    EXPECT_EQ("host", p.host);
    EXPECT_EQ("/?q=1", p.pathAndQuery);

    ASSERT_TRUE(ParseUrl("http://[::1]:8000/x", "80", p));
    EXPECT_EQ("[::1]", p.host);
    EXPECT_EQ("8000", p.port);

    ASSERT_TRUE(ParseUrl("https://secure/x", "80", p));
    EXPECT_EQ("https", p.scheme);
    EXPECT_EQ("443", p.port);

    // The Host line's value, which every use of the URL takes ("" for a refused URL).
    EXPECT_EQ("h", ExtractHost("https://h:443/x") + ExtractHost("https://evil.example#@good.example/up"));
    EXPECT_EQ("h:80", ExtractHost("https://h:80/x") + ExtractHost("host\\share"));
}

TEST(PcgParseUrl, RefusesWhatWouldBreakTheRequest) {
    UrlParts p;
    for (const char* url : {"", "http://", "http:///path", "http://host:0/", "http://host:65536/", "http://host:8o/",
                            "http://[::1/", "http://[::1]x/", "http://user@/x", "http://user@host/",
                            "https://u:p@host/", "https://evil.example#@good.example/up", "http://host#f",
                            "http://host\\@good/", "https://[]/", "http://[::1%25eth0]/", "http://ho%73t/",
                            "http://host:81:82/"})
        EXPECT_FALSE(ParseUrl(url, "80", p)) << url;
    // Any control byte, a space or DEL would break the request line or forge
    // header lines, wherever it stands: in the path, in the query (where the
    // token goes), before the scheme.
    for (int byte = 0; byte < 256; ++byte) {
        const std::string c(1, static_cast<char>(byte));
        const bool refused = byte <= 0x20 || byte == 0x7F;
        EXPECT_EQ(!refused, ParseUrl("http://host/a" + c + "b", "80", p)) << byte;
        EXPECT_EQ(!refused, ParseUrl("http://host/x?access_token=t" + c, "80", p)) << byte;
        if (refused) {
            EXPECT_FALSE(ParseUrl(c + "http://host/", "80", p)) << byte;
        }
    }
}

const std::string kLengthResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello";
const std::string kChunkedResponse =
    "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5;ext=1\r\nhello\r\n1A \r\n abcdefghijklmnopqrstuvwxy\r\n0\r\nX-Trailer: t\r\n\r\n";
const std::string kChunkedBody = "hello abcdefghijklmnopqrstuvwxy";

TEST(PcgResponseParser, ContentLengthBodyWholeAndBytewise) {
    for (int bytewise = 0; bytewise < 2; ++bytewise) {
        ResponseParser parser;
        Parsed r = bytewise ? FeedBytewise(parser, kLengthResponse + "EXTRA") : FeedAll(parser, kLengthResponse + "EXTRA");
        EXPECT_EQ(ParseStatus::Done, r.status);
        EXPECT_EQ(kLengthResponse.size(), r.consumed);
        EXPECT_EQ(200, parser.StatusCode());
        EXPECT_EQ("OK", parser.Reason());
        EXPECT_EQ("hello", parser.Body());
        ASSERT_EQ(3u, parser.HeaderLines().size());
        EXPECT_EQ("HTTP/1.1 200 OK", parser.HeaderLines()[0]);
        EXPECT_EQ("Content-Length: 5", parser.HeaderLines()[2]);
        EXPECT_EQ("text/plain", parser.HeaderValue("content-type"));
        EXPECT_TRUE(parser.KeepAlive());
    }
}

TEST(PcgResponseParser, ChunkedBodyWholeAndBytewiseWithExtensionsAndTrailers) {
    for (int bytewise = 0; bytewise < 2; ++bytewise) {
        ResponseParser parser;
        Parsed r = bytewise ? FeedBytewise(parser, kChunkedResponse) : FeedAll(parser, kChunkedResponse);
        EXPECT_EQ(ParseStatus::Done, r.status);
        EXPECT_EQ(kChunkedResponse.size(), r.consumed);
        EXPECT_EQ(201, parser.StatusCode());
        EXPECT_EQ(kChunkedBody, parser.Body());
        EXPECT_EQ("X-Trailer: t", parser.HeaderLines().back());
        EXPECT_TRUE(parser.KeepAlive());
    }
    // Bare LF line ends are read as well.
    ResponseParser parser;
    EXPECT_EQ(ParseStatus::Done,
              FeedAll(parser, "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n3\nabc\n0\n\n").status);
    EXPECT_EQ("abc", parser.Body());
}

TEST(PcgResponseParser, CloseDelimitedBodyEndsAtClose) {
    const std::string response = "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nbody until close";
    ResponseParser parser;
    EXPECT_EQ(ParseStatus::NeedMore, FeedBytewise(parser, response).status);
    EXPECT_EQ(ParseStatus::Done, parser.FinishAtClose());
    EXPECT_EQ("body until close", parser.Body());
    EXPECT_FALSE(parser.KeepAlive());
}

TEST(PcgResponseParser, EveryTruncatedPrefixNeedsMoreAndFailsAtClose) {
    for (const std::string& full : {kLengthResponse, kChunkedResponse}) {
        for (size_t n = 0; n < full.size(); ++n) {
            ResponseParser parser;
            ASSERT_EQ(ParseStatus::NeedMore, FeedAll(parser, full.substr(0, n)).status) << n;
            ParseStatus atClose = parser.FinishAtClose();
            // A chunked answer cut right after its last chunk and trailer lines is
            // accepted; everything else is a failure.
            if (atClose == ParseStatus::Done) {
                EXPECT_EQ(kChunkedResponse, full);
                EXPECT_EQ(kChunkedBody, parser.Body());
            } else {
                EXPECT_EQ(HttpError::ClosedEarly, parser.Error()) << n;
            }
        }
    }
}

TEST(PcgResponseParser, InterimAnswersBodilessAnswersAndStatusRules) {
    ResponseParser parser;
    std::string interim;
    for (int i = 0; i < ResponseParser::kMaxInterimAnswers; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(ParseStatus::Done,
              FeedAll(parser, interim + "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnop").status);
    EXPECT_EQ(404, parser.StatusCode());
    EXPECT_EQ("nop", parser.Body());
    EXPECT_EQ("HTTP/1.1 404 Not Found", parser.HeaderLines()[0]);

    ResponseParser head(true);
    EXPECT_EQ(ParseStatus::Done, FeedAll(head, "HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n").status);
    EXPECT_EQ("", head.Body());
    EXPECT_TRUE(head.KeepAlive());

    for (const char* bodyless : {"HTTP/1.1 204 No Content\r\n\r\n", "HTTP/1.1 304 Not Modified\r\n\r\n"}) {
        ResponseParser p;
        EXPECT_EQ(ParseStatus::Done, FeedAll(p, bodyless).status);
    }

    ResponseParser noReason;
    EXPECT_EQ(ParseStatus::Done, FeedAll(noReason, "HTTP/1.1 201\r\nContent-Length: 0\r\n\r\n").status);
    EXPECT_EQ(201, noReason.StatusCode());
    EXPECT_EQ("", noReason.Reason());

    ResponseParser folded;
    EXPECT_EQ(ParseStatus::Done,
              FeedAll(folded, "HTTP/1.1 200 OK\r\nX-Long: a\r\n  b\r\nContent-Length: 0\r\n\r\n").status);
    EXPECT_EQ("a b", folded.HeaderValue("X-Long"));
}

TEST(PcgResponseParser, KeepAliveFollowsVersionAndConnectionHeaders) {
    struct Case {
        const char* head;
        bool keep;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nConnection: Keep-Alive, CLOSE\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nProxy-Connection: close\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.0 200 OK\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        ResponseParser parser;
        ASSERT_EQ(ParseStatus::Done, FeedAll(parser, c.head).status) << c.head;
        EXPECT_EQ(c.keep, parser.KeepAlive()) << c.head;
    }
}

struct BadCase {
    const char* name;
    std::string bytes;
    HttpError error;
};

TEST(PcgResponseParser, BadAnswersFailWholeAndBytewise) {
    const std::vector<BadCase> cases = {
        {"no status line", "<html>hello</html>\r\n\r\n", HttpError::BadStatusLine},
        {"not http", "HTTX/1.1 200 OK\r\n\r\n", HttpError::BadStatusLine},
        {"code not digits", "HTTP/1.1 2x0 OK\r\n\r\n", HttpError::BadStatusLine},
        {"code too short", "HTTP/1.1 20 OK\r\n\r\n", HttpError::BadStatusLine},
        {"code too low", "HTTP/1.1 099 OK\r\n\r\n", HttpError::BadStatusLine},
        {"no version", "HTTP/ 200 OK\r\n\r\n", HttpError::BadStatusLine},
        {"many blank lines", "\r\n\r\n\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", HttpError::BadStatusLine},
        {"header without colon", "HTTP/1.1 200 OK\r\nbroken header\r\n\r\n", HttpError::BadHeader},
        {"fold first", "HTTP/1.1 200 OK\r\n folded\r\n\r\n", HttpError::BadHeader},
        {"absurd length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", HttpError::BadContentLength},
        {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", HttpError::BadContentLength},
        {"empty length", "HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n", HttpError::BadContentLength},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", HttpError::BadContentLength},
        {"list length", "HTTP/1.1 200 OK\r\nContent-Length: 1, 1\r\n\r\na", HttpError::BadContentLength},
        {"length over limit", "HTTP/1.1 200 OK\r\nContent-Length: 1073741825\r\n\r\n", HttpError::BodyTooLarge},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", HttpError::BadChunk},
        {"chunk size empty", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n", HttpError::BadChunk},
        {"chunk size huge", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", HttpError::BadChunk},
        {"chunk over limit", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40000001\r\n", HttpError::BodyTooLarge},
        {"chunk data too long", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", HttpError::BadChunk},
        {"chunk line endless", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1" + std::string(5000, ' '), HttpError::BadChunk},
        {"endless header", "HTTP/1.1 200 OK\r\n" + std::string(300000, 'h'), HttpError::HeaderTooLarge},
        {"many headers", "HTTP/1.1 200 OK\r\n" + [] {
             std::string lines;
             for (int i = 0; i < 20000; ++i) lines += "X-Many: 0123456789\r\n";
             return lines;
         }(), HttpError::HeaderTooLarge},
        {"endless status line", "HTTP/1.1 200 " + std::string(300000, 'o'), HttpError::HeaderTooLarge},
        {"endless interim answers", [] {
             std::string answers;
             for (int i = 0; i < 10000; ++i) answers += "HTTP/1.1 100 Continue\r\n\r\n";
             return answers;
         }(), HttpError::TooManyInterim},
    };
    for (const BadCase& c : cases) {
        for (int bytewise = 0; bytewise < 2; ++bytewise) {
            ResponseParser parser;
            Parsed r = bytewise ? FeedBytewise(parser, c.bytes) : FeedAll(parser, c.bytes);
            EXPECT_EQ(ParseStatus::Invalid, r.status) << c.name;
            EXPECT_EQ(c.error, parser.Error()) << c.name << ": " << HttpErrorName(parser.Error());
            size_t consumed = 1;
            EXPECT_EQ(ParseStatus::Invalid, parser.Feed("x", 1, &consumed)) << c.name;
            EXPECT_EQ(0u, consumed);
        }
    }
}

TEST(PcgResponseParser, GarbageIsRefusedBeforeALineEnds) {
    ResponseParser parser;
    EXPECT_EQ(ParseStatus::Invalid, FeedAll(parser, "SSH-2.0-Open").status);
    EXPECT_EQ(HttpError::BadStatusLine, parser.Error());
    ResponseParser binary;
    EXPECT_EQ(ParseStatus::Invalid, FeedAll(binary, std::string("\x16\x03\x01\x00", 4)).status);
}

TEST(PcgResponseParser, BodyLimitsApplyToEveryDelimiting) {
    ResponseParser byClose(false, 1024, 10);
    EXPECT_EQ(ParseStatus::NeedMore, FeedAll(byClose, "HTTP/1.0 200 OK\r\n\r\n0123456789").status);
    EXPECT_EQ(ParseStatus::Invalid, FeedAll(byClose, "X").status);
    EXPECT_EQ(HttpError::BodyTooLarge, byClose.Error());

    ResponseParser byChunks(false, 1024, 10);
    EXPECT_EQ(ParseStatus::Invalid,
              FeedAll(byChunks, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n01234567\r\n3\r\n").status);
    EXPECT_EQ(HttpError::BodyTooLarge, byChunks.Error());

    ResponseParser exact(false, 1024, 10);
    EXPECT_EQ(ParseStatus::Done, FeedAll(exact, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789").status);

    ResponseParser smallHead(false, 64, 10);
    EXPECT_EQ(ParseStatus::Invalid,
              FeedAll(smallHead, "HTTP/1.1 200 OK\r\nX-Fill: " + std::string(60, 'x') + "\r\n\r\n").status);
    EXPECT_EQ(HttpError::HeaderTooLarge, smallHead.Error());
}

TEST(PcgResponseParser, AnnouncedLengthIsNotTrustedWithMemory) {
    // A length at the limit that never comes costs one reservation step, not the limit.
    ResponseParser parser;
    EXPECT_EQ(ParseStatus::NeedMore,
              FeedAll(parser, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                  std::to_string(ResponseParser::kDefaultMaxBodyBytes) + "\r\n\r\n0123456789")
                  .status);
    EXPECT_EQ("0123456789", parser.Body());
    EXPECT_LE(parser.Body().capacity(), 257u * 1024);

    // A small announced length is reserved exactly.
    ResponseParser small;
    EXPECT_EQ(ParseStatus::NeedMore, FeedAll(small, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nab").status);
    EXPECT_LE(small.Body().capacity(), 100000u + 64);
}

TEST(PcgResponseParser, SurvivesRandomBytesAndRandomSplits) {
    std::mt19937 random(99);
    const std::string pieces[] = {"HTTP/1.1 200 OK\r\n", "Content-Length: 3\r\n", "Transfer-Encoding: chunked\r\n",
                                  "\r\n", "5\r\n", "abc", "0\r\n", "\n", ":", "Connection: close\r\n", "ffffffff\r\n"};
    for (int round = 0; round < 5000; ++round) {
        std::string bytes;
        int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            if (random() % 4 == 0) bytes += static_cast<char>(random());
            else bytes += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        }
        ResponseParser parser(false, 4096, 1 << 20);
        size_t offset = 0;
        while (offset < bytes.size() && parser.Status() == ParseStatus::NeedMore) {
            size_t size = std::min<size_t>(bytes.size() - offset, 1 + random() % 7);
            size_t consumed = 0;
            parser.Feed(bytes.data() + offset, size, &consumed);
            ASSERT_LE(consumed, size);
            offset += size;
        }
        parser.FinishAtClose();
        EXPECT_LE(parser.Body().size(), bytes.size());
    }
}

}  // namespace
}  // namespace pcg
