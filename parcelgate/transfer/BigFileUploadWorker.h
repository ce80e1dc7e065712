#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UniqueHandle.h"
#include "WorkerThread.h"

namespace pcg {

// Uploads a big file in chunks. Until the chunked upload lands, a run checks
// the file (gone or its size unreadable: OnFail(1); empty: OnFail(2)) and
// then ends in OnFail(0).
class BigFileUploadWorker : public WorkerThread {
public:
    // Opens the file (others may still read and write it); throws
    // TransferError when it cannot.
    BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                        const std::string& url, std::shared_ptr<ProgressSink> sink, const std::string& token);
    // With the file already opened as `file`.
    BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName, UniqueHandle file,
                        const std::string& url, std::shared_ptr<ProgressSink> sink, const std::string& token);

protected:
    void Execute() override;

private:
    bool forceReUpload_;
    int64_t sessionId_;
    std::string fileName_;
    UniqueHandle file_;
    int64_t fileSize_;  // -1 when it cannot be read
};

}  // namespace pcg
