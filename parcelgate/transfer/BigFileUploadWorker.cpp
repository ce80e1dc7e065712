#include "BigFileUploadWorker.h"

#include <utility>

#include "FileUtils.h"

namespace pcg {
namespace {

UniqueHandle OpenToUpload(const std::string& fileName) {
    UniqueHandle file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) throw TransferError("Cannot open file " + fileName);
    return file;
}

int64_t SizeOrMinusOne(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

}  // namespace

BigFileUploadWorker::BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                         const std::string& url, std::shared_ptr<ProgressSink> sink,
                                         const std::string& token)
    : BigFileUploadWorker(forceReUpload, sessionId, fileName, OpenToUpload(fileName), url, std::move(sink), token) {}

BigFileUploadWorker::BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                         UniqueHandle file, const std::string& url,
                                         std::shared_ptr<ProgressSink> sink, const std::string& token)
    : WorkerThread(token, std::move(sink), url),
      forceReUpload_(forceReUpload),
      sessionId_(sessionId),
      fileName_(fileName),
      file_(std::move(file)),
      fileSize_(SizeOrMinusOne(file_.Get())) {}

void BigFileUploadWorker::Execute() {
    // A size that cannot be read says nothing about the file being empty:
    // the file is as good as gone.
    if (!FileExists(fileName_) || fileSize_ < 0) {
        RaiseFail(1);
        return;
    }
    if (fileSize_ == 0) {
        RaiseFail(2);
        return;
    }
    RaiseFail(0);
}

}  // namespace pcg
