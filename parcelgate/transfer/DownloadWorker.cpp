#include "DownloadWorker.h"

#include "FileUtils.h"

namespace pcg {

void DownloadWorker::Execute() {
    RaiseBegin();
    if (!Session().SendRequest("GET", Url())) {
        RaiseFail(0);
        return;
    }
    try {
        const std::string body = Session().Document().Take();
        if (!FileExists(FileName())) CreateEmptyFile(FileName());
        WriteStringToFile(FileName(), body);
    } catch (const std::exception&) {
        RaiseFail(0);
        return;
    }
    RaiseFinish();
}

}  // namespace pcg
