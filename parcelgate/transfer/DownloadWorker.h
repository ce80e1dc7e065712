#pragma once

#include <string>

#include "transfer/WorkerThread.h"

namespace pcg {

// One GET of the URL; a 2xx answer's whole body replaces the local file once
// it is complete (it streams to a file beside it meanwhile). Any other answer
// is a failure whose status line goes to the debugger's output.
// Events: OnBegin, then OnFinish or OnFail(0); after a failure the local
// file is as it was and nothing is left beside it.
class DownloadWorker : public FileWorker {
public:
    using FileWorker::FileWorker;

protected:
    void Execute() override;
};

}  // namespace pcg
