#include "transfer/DownloadWorker.h"

#include <memory>
#include <string>

#include "transfer/FileUtils.h"

namespace pcg {

void DownloadWorker::Execute() {
    RaiseBegin();
    std::unique_ptr<ReplacingFile> file;
    try {
        file = std::make_unique<ReplacingFile>(FileName());
    } catch (const std::exception&) {
        RaiseFail(0);
        return;
    }
    HttpSession& session = Session();
    if (!session.SendRequest("GET", Url(), file.get())) {
        RaiseFail(0);
        return;
    }
    // An error page is no download: the target stays as it was and the
    // temporary file goes with the ReplacingFile.
    if (session.ResultCode() < 200 || session.ResultCode() > 299) {
        RaiseFail(0, session.Headers().empty() ? "status " + std::to_string(session.ResultCode()) : session.Headers()[0]);
        return;
    }
    try {
        file->Commit();
    } catch (const std::exception&) {
        RaiseFail(0);
        return;
    }
    RaiseFinish();
}

}  // namespace pcg
