#include "transfer/DownloadWorker.h"

#include <memory>

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
    if (!Session().SendRequest("GET", Url(), file.get())) {
        RaiseFail(0);
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
