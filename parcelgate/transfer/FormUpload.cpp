#include "transfer/FormUpload.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "transfer/FileUtils.h"
#include "base/Json.h"
#include "base/Text.h"
#include "transfer/WorkerThread.h"

namespace pcg {

namespace {

// A progress answer is a few bytes.
constexpr uint64_t kProgressAnswerLimit = 64 * 1024;

std::string NewBoundary() {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(RandomInt(2147483647)));
    return std::string(digits) + "_Parcelgate_boundary";
}

// The JSON object of a progress answer such as `({ "state" : "done" });\r\n`:
// the three characters after the first "}" go, then all before the first "{".
std::string CutToObject(std::string answer) {
    const size_t close = answer.find('}');
    if (close != std::string::npos) answer.erase(close + 1, 3);
    const size_t open = answer.find('{');
    return open == std::string::npos ? answer : answer.substr(open);
}

uint64_t NonNegative(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

}  // namespace

// Sends the form. It does not delete itself: its monitor does.
class FormUploadWorker : public FileWorker {
public:
    FormUploadWorker(const std::string& token, std::shared_ptr<ProgressSink> sink, const std::string& url,
                     const std::string& fileName, const std::string& progressId)
        : FileWorker(token, std::move(sink), url, fileName), progressId_(progressId) {
        SetFreeOnTerminate(false);
    }

    // The form's length once the server answered 201; 0 until then.
    uint64_t SentLength() const { return sentLength_.load(); }
    // Whether the run has ended.
    bool Ended() const { return ended_.load(); }

protected:
    void Execute() override {
        struct MarkEnd {
            std::atomic<bool>& ended;
            ~MarkEnd() { ended = true; }
        } markEnd{ended_};

        if (!FileExists(FileName())) return;
        std::string content;
        try {
            content = ReadFileToString(FileName());
        } catch (const TransferError&) {
            // A file that is there but cannot be read (another program holds
            // it without sharing, a region is locked) must not end silently.
            RaiseFail(0);
            return;
        }
        const std::string boundary = NewBoundary();
        HttpSession& session = Session();
        session.SetMimeType("multipart/form-data; boundary=" + boundary);
        session.Headers().push_back("Host:" + ExtractHost(Url()));
        std::string form = "--" + boundary + "\r\n" +
                           "Content-Disposition: form-data; name=\"project[upload_file]\"; filename=\"" +
                           HeaderFileName(FileName()) + "\"\r\n" + "Content-Type: text/plain\r\n\r\n" + content +
                           "\r\n--" + boundary + "--\r\n";
        const uint64_t length = form.size();
        session.Document().Assign(std::move(form));
        RaiseBegin();
        if (!session.SendRequest("POST", Url() + "?X-Progress-ID=" + progressId_) || session.ResultCode() != 201) {
            RaiseFail(0);
            return;
        }
        sentLength_ = length;
        RaiseFinish();
    }

private:
    std::string progressId_;
    std::atomic<uint64_t> sentLength_{0};
    std::atomic<bool> ended_{false};
};

// Polls the progress service for one form upload; owns that upload's worker
// and deletes it, once its run has ended, before itself.
class UploadMonitor : public WorkerThread {
public:
    UploadMonitor(const std::string& token, std::shared_ptr<ProgressSink> sink, const std::string& url,
                  const std::string& progressId, std::unique_ptr<FormUploadWorker> upload)
        : WorkerThread(token, std::move(sink), url), progressId_(progressId), upload_(std::move(upload)) {
        Session().SetMaxBodyBytes(kProgressAnswerLimit);
    }
    ~UploadMonitor() override {
        upload_->WaitFor();
        upload_.reset();
    }

    FormUploadWorker& Upload() { return *upload_; }

protected:
    void Execute() override {
        // The progress service sits beside the upload: same scheme, host and
        // port, as the one URL parser reads them.
        UrlParts parts;
        if (!ParseUrl(Url(), "80", parts)) return;  // the upload is refused before it sends anything
        const std::string progressUrl = parts.scheme + "://" + parts.hostAndPort + "/progress";
        std::string text;
        for (;;) {
            // Once the upload has ended, this round's answer is its last progress.
            const bool last = upload_->Ended();
            const ULONGLONG roundStart = GetTickCount64();
            HttpSession& session = Session();
            session.Clear();
            session.Headers().push_back("X-Progress-ID: " + progressId_);
            // Only the service's own answer says anything: a failed request,
            // an error page or another server's page is "no progress known".
            const bool answered = session.SendRequest("GET", progressUrl) && session.ResultCode() >= 200 &&
                                  session.ResultCode() <= 299;
            std::string answer = session.Document().Take();
            if (!answered) text.clear();
            else if (!answer.empty()) text = CutToObject(std::move(answer));
            if (HasSink() && !text.empty() && Report(text)) return;
            if (last || Terminated()) return;
            // A steady pace whatever the server's speed; the upload's end
            // cuts the wait short for its last report.
            while (!Terminated() && !upload_->Ended() && GetTickCount64() - roundStart < FormUpload::kPollIntervalMs)
                Sleep(kWaitSliceMs);
            if (Terminated()) return;
        }
    }

private:
    static constexpr DWORD kWaitSliceMs = 20;

    // Raises the event of one progress answer; true when monitoring ends.
    bool Report(const std::string& text) {
        JsonValue json;
        ParseJson(text, json);
        const std::string state = json.GetString("state");
        if (SameText(state, "uploading")) {
            const HRESULT value =
                RaiseProgress(NonNegative(json.GetInt64("received")), NonNegative(json.GetInt64("size")));
            if (value == E_ABORT) {
                upload_->CancelTransfer();
                return true;
            }
        } else if (SameText(state, "done")) {
            const uint64_t sent = upload_->SentLength();
            RaiseProgress(sent, sent);
            return true;
        } else if (SameText(state, "error")) {
            RaiseFail(0);
            upload_->CancelTransfer();
            return true;
        }
        return false;
    }

private:
    std::string progressId_;
    std::unique_ptr<FormUploadWorker> upload_;
};

FormUpload::FormUpload(const std::string& token, const std::string& fileName, const std::string& url,
                       std::shared_ptr<ProgressSink> sink) {
    const std::string progressId = NewGuidString();
    auto upload = std::make_unique<FormUploadWorker>(token, sink, url, fileName, progressId);
    monitor_ = std::make_unique<UploadMonitor>(token, std::move(sink), url, progressId, std::move(upload));
}

FormUpload::~FormUpload() = default;

void FormUpload::Start() {
    FormUploadWorker& upload = monitor_->Upload();
    upload.Create();
    try {
        monitor_->Create();
    } catch (...) {
        // The monitor's destructor then waits for the upload's (empty) run.
        upload.Abandon();
        throw;
    }
    upload.Resume();
    monitor_->Resume();
    monitor_.release();  // deletes itself, and the upload, when its run ends
}

}  // namespace pcg
