#pragma once

#include <string>

#include "WorkerThread.h"

namespace pcg {

// One GET of the URL; the whole body, whatever the status code, replaces the
// local file. Events: OnBegin, then OnFinish or OnFail(0).
class DownloadWorker : public FileWorker {
public:
    using FileWorker::FileWorker;

protected:
    void Execute() override;
};

}  // namespace pcg
