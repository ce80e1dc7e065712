#include "http/Feedback.h"

#include "HttpPeers.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

using namespace pennant;
using namespace testing_support;

namespace {

// Every test of this executable starts with empty peer records.
const bool peerHistoryReset = ResetPeersBeforeEachTest();

std::vector<std::string> WaitForReports(size_t count) {
    std::vector<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        seen = RecordedRequests("HTTP_FEEDBACK_REQUESTS");
        if (seen.size() >= count) break;
        Sleep(50);
    }
    return seen;
}

std::string BodyOf(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}

}  // namespace

TEST(Feedback, BodyHeadersAndAgentByteForByte) {
    pennant_test::LogCapture log;
    PostStatus("D1", "42", 2);
    ASSERT_TRUE(WaitForFeedbackReports(15000));

    const auto seen = WaitForReports(1);
    ASSERT_EQ(1u, seen.size());
    const std::string& request = seen[0];
    EXPECT_EQ(0u, request.rfind("POST /api/record/feedback HTTP/1.1\r\n", 0)) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nConnection: close\r\n"));
    EXPECT_NE(std::string::npos,
              request.find("\r\nContent-Type: application/x-www-form-urlencoded;charset=ISO-8859-1\r\n"));
    EXPECT_NE(std::string::npos, request.find("\r\nUser-Agent: WinHTTP dovazidero/1.0\r\n"));
    EXPECT_NE(std::string::npos, request.find("\r\nContent-Length: 30\r\n"));
    EXPECT_EQ("deviceid=D1&taskid=42&status=2", BodyOf(request));
    EXPECT_TRUE(log.Contains("post status 2"));
}

TEST(Feedback, TenReportsAtOnceArriveInTheOrderTheyWereMade) {
    for (int i = 0; i < 10; ++i) PostFeedback(new FeedbackRecord{"dev", "t" + std::to_string(i), i});
    ASSERT_TRUE(WaitForFeedbackReports(20000));
    auto seen = WaitForReports(10);
    ASSERT_EQ(10u, seen.size());
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ("deviceid=dev&taskid=t" + std::to_string(i) + "&status=" + std::to_string(i),
                  BodyOf(seen[i]));
}

TEST(Feedback, FieldsAreSentUnescaped) {
    EXPECT_EQ("deviceid=&taskid=a&b=c d&status=-3", FeedbackBody({"", "a&b=c d", -3}));
    PostFeedback(new FeedbackRecord{"x=y", "\xb2\xe2", 12});
    ASSERT_TRUE(WaitForFeedbackReports(15000));
    const auto seen = WaitForReports(1);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("deviceid=x=y&taskid=\xb2\xe2&status=12", BodyOf(seen[0]));
}
