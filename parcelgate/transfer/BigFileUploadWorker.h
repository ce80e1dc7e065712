#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UniqueHandle.h"
#include "WorkerThread.h"

namespace pcg {

// Uploads a big file in chunks (a placeholder until the uploads land: every
// run ends in OnFail(0)). Opens the file when created; throws
// TransferError when it cannot.
class BigFileUploadWorker : public WorkerThread {
public:
    BigFileUploadWorker(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                        const std::string& url, std::shared_ptr<ProgressSink> sink, const std::string& token);

protected:
    void Execute() override;

private:
    bool forceReUpload_;
    int64_t sessionId_;
    std::string fileName_;
    UniqueHandle file_;  // read stream; others may read and write
    int64_t fileSize_ = 0;
};

}  // namespace pcg
