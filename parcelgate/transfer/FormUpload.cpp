#include "FormUpload.h"

#include <memory>
#include <utility>

#include "FileUtils.h"
#include "WorkerThread.h"

namespace pcg {

namespace {

// A placeholder until the upload workers land: it keeps the argument checks
// and the choice of path of Upload honest by failing every upload through
// OnFail(0) on a worker thread.
class UploadPlaceholder : public WorkerThread {
public:
    using WorkerThread::WorkerThread;

protected:
    void Execute() override { RaiseFail(0); }
};

}  // namespace

FormUpload::FormUpload(const std::string& token, const std::string& fileName, const std::string& url,
                       std::shared_ptr<ProgressSink> sink)
    : token_(token), fileName_(fileName), url_(url), sink_(std::move(sink)) {}

void FormUpload::Start() {
    // Like the form upload, a name that is no file ends without any event.
    if (!FileExists(fileName_)) return;
    auto worker = std::make_unique<UploadPlaceholder>(token_, sink_, url_);
    worker->Start();
    worker.release();
}

}  // namespace pcg
