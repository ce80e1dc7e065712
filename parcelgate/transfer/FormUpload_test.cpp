// The form upload and its monitor against nginx with the upload-progress
// module in front of the tests' own multipart backend
// (tests/support/peer_nginx_progress.py).
#include "transfer/FormUpload.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HttpPeers.h"
#include "base/Json.h"
#include "RecordingProgress.h"
#include "TestFiles.h"
#include "transfer/WorkerThread.h"

namespace pcg {
namespace {

using namespace testing_support;

const bool reset = ResetPeersBeforeEachTest();

std::string FormUrl(const std::string& path) { return "http://127.0.0.1:" + Env("PCG_FORM_PORT") + path; }

// What the backend kept of one form: its record, content and file name.
struct ReceivedForm {
    JsonValue record;
    std::string content;
    std::string name;
};

std::vector<ReceivedForm> ReceivedForms() {
    const std::string directory = Env("PCG_FORM_RECORDS");
    std::vector<ReceivedForm> forms;
    for (const std::string& file : FilesIn(directory)) {
        if (file.size() < 5 || file.substr(file.size() - 5) != ".json") continue;
        const std::string base = directory + "\\" + file.substr(0, file.size() - 5);
        ReceivedForm form;
        ParseJson(ReadFile(base + ".json"), form.record);
        form.content = ReadFile(base + ".bin");
        form.name = ReadFile(base + ".name");
        forms.push_back(form);
    }
    return forms;
}

void ForgetReceivedForms() {
    const std::string directory = Env("PCG_FORM_RECORDS");
    for (const std::string& file : FilesIn(directory)) DeleteFileA((directory + "\\" + file).c_str());
}

// Waits until every worker thread (upload and monitor) has ended.
bool WaitForWorkersToEnd(DWORD ms = 30000) {
    for (DWORD waited = 0; RunningWorkers() > 0 && waited < ms; waited += 20) Sleep(20);
    return RunningWorkers() == 0;
}

TEST(PcgFormUpload, OutcomesAndTheMonitorAlwaysStops) {
    // A name in the ANSI code page that UTF-8 spells differently.
    const bool gbk = GetACP() == 936;
    const std::string ansiName = gbk ? "\xC9\xCF\xB4\xAB.txt" : "\xE9t\xE9.txt";
    const std::string utf8Name = gbk ? "\xE4\xB8\x8A\xE4\xBC\xA0.txt" : "\xC3\xA9t\xC3\xA9.txt";
    const std::string content = Pattern(10240, 8);

    struct Case {
        const char* what;
        const char* path;
        bool withFile;
        bool withSink;
        bool stop;           // the client answers E_ABORT to the first OnProgress
        const char* result;  // the upload thread's last event; "" for none
        bool locked = false;  // another program holds the file without sharing it
    };
    for (const Case& c : {Case{"accepted with 201", "/up", true, true, false, "OnFinish"},
                          Case{"200 is no success here", "/status/200/up", true, true, false, "OnFail(0)"},
                          Case{"client stops it", "/up", true, true, true, "OnFail(0)"},
                          Case{"no such file", "/up", false, true, false, ""},
                          Case{"file that cannot be read", "/up", true, true, false, "OnFail(0)", true},
                          Case{"no event sink", "/up", true, false, false, ""}}) {
        SCOPED_TRACE(c.what);
        ForgetPeerHistory();
        ForgetReceivedForms();
        TempDir dir("pcg");
        const std::string file = dir / ansiName;
        if (c.withFile) WriteFile(file, content);
        UniqueHandle holder(c.locked ? CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                                     : INVALID_HANDLE_VALUE);
        auto sink = c.withSink ? std::make_shared<RecordingProgress>() : nullptr;
        if (c.stop) sink->AnswerProgress([](int) { return E_ABORT; });

        auto polls = [] { return CountContaining(Lines(ReadFile(Env("PCG_FORM_ACCESS_LOG"))), "GET /progress 200"); };
        const size_t pollsBefore = polls();
        FormUpload upload("t", file, FormUrl(c.path) + "?access_token=t", sink);
        upload.Start();
        ASSERT_TRUE(WaitForWorkersToEnd());

        const auto events = sink ? sink->Names() : std::vector<std::string>();
        const auto forms = ReceivedForms();
        // A steady pace: about two polls a second while the backend holds each
        // form for a second, and one after the upload's end.
        const size_t polled = polls() - pollsBefore;
        EXPECT_TRUE(polled >= 1 && polled <= 5) << polled;
        if (!c.withFile || c.locked) {
            EXPECT_EQ(c.locked ? std::vector<std::string>{c.result} : std::vector<std::string>(), events);
            EXPECT_TRUE(forms.empty());
            continue;
        }
        ASSERT_EQ(1u, forms.size());
        const ReceivedForm& form = forms[0];
        EXPECT_TRUE(content == form.content);
        EXPECT_EQ(dir.Path() + "\\" + utf8Name, form.name);
        EXPECT_EQ("text/plain", form.record.GetString("part_type"));
        const std::string uri = form.record.GetString("uri");
        const std::string query = "?access_token=t?X-Progress-ID={";
        ASSERT_NE(std::string::npos, uri.find(query)) << uri;
        EXPECT_EQ(uri.find(query) + query.size() + 37, uri.size()) << uri;  // a GUID in braces
        if (!sink) continue;

        // The module's own figures: the whole body received, while the
        // backend held its answer.
        const int64_t length = form.record.GetInt64("content_length");
        const std::string whole = "OnProgress(" + std::to_string(length) + "," + std::to_string(length) + ")";
        EXPECT_EQ("OnBegin", events.front());
        EXPECT_NE(events.end(), std::find(events.begin(), events.end(), whole));
        for (const std::string& event : events) {
            EXPECT_TRUE(event == "OnBegin" || event == whole || event == "OnProgress(0,0)" || event == c.result)
                << event;
        }
        EXPECT_EQ(1, std::count(events.begin(), events.end(), std::string(c.result)));
        if (c.stop) {
            EXPECT_EQ(1, std::count(events.begin(), events.end(), whole));
        }
    }
}

// What the form upload does with its upload thread when the monitor's
// thread cannot be created: the created thread ends without running.
TEST(PcgFormUpload, AnAbandonedThreadNeverRunsItsWorker) {
    class Marker : public WorkerThread {
    public:
        explicit Marker(bool& ran) : WorkerThread("t", nullptr, "http://127.0.0.1:9/"), ran_(ran) {
            SetFreeOnTerminate(false);
        }

    protected:
        void Execute() override { ran_ = true; }

    private:
        bool& ran_;
    };
    for (bool abandon : {true, false}) {
        SCOPED_TRACE(abandon);
        bool ran = false;
        Marker marker(ran);
        marker.Create();
        EXPECT_EQ(1, RunningWorkers());
        if (abandon) {
            marker.Abandon();
        } else {
            marker.Resume();
            marker.WaitFor();
        }
        EXPECT_EQ(!abandon, ran);
        EXPECT_TRUE(WaitForWorkersToEnd());
    }
}

}  // namespace
}  // namespace pcg
