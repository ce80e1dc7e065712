// Download jobs as the start-up would prepare them, for the tests of the job
// and of its worker.
#pragma once

#include "http/DownloadJob.h"
#include "http/HttpTasks.h"

#include "TestFiles.h"

#include <string>

namespace testing_support {

// What the start-up HEAD would have put into the task.
inline pennant::DownloadJob JobFor(const std::string& url, const std::string& fileName,
                                   const std::string& md5) {
    pennant::DownloadJob job;
    job.url = url;
    job.md5 = md5;
    job.fileName = fileName;
    uint64_t size = 0;
    pennant::QueryResourceInfo(url, &size, &job.etag, &job.lastModified);
    job.totalSize = static_cast<int64_t>(size);
    return job;
}

// The MD5 the task would carry for `bytes`.
inline std::string Md5Of(const std::string& bytes) {
    TempDir dir("md5");
    WriteFile(dir / "f", bytes);
    return pennant::FileMd5Hex(dir / "f");
}

}  // namespace testing_support
