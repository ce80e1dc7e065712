#pragma once

#include <string>

#include "transfer/WorkerThread.h"

namespace pcg {

// One GET of the URL; the whole body, whatever the status code, replaces the
// local file once it is complete (it streams to a file beside it meanwhile).
// Events: OnBegin, then OnFinish or OnFail(0); after a failure the local
// file is as it was.
class DownloadWorker : public FileWorker {
public:
    using FileWorker::FileWorker;

protected:
    void Execute() override;
};

}  // namespace pcg
