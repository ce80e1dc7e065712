#include "BigFileUploadWorker.h"

#include <utility>

namespace pcg {

BigFileUploadWorker::BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                         const std::string& url, std::shared_ptr<ProgressSink> sink,
                                         const std::string& token)
    : WorkerThread(token, std::move(sink), url), forceReUpload_(forceReUpload), sessionId_(sessionId), fileName_(fileName) {
    file_.Reset(CreateFileA(fileName_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.Valid()) throw TransferError("Cannot open file " + fileName_);
    LARGE_INTEGER size;
    if (GetFileSizeEx(file_.Get(), &size)) fileSize_ = size.QuadPart;
}

void BigFileUploadWorker::Execute() { RaiseFail(0); }

}  // namespace pcg
