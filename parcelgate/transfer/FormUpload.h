#pragma once

#include <memory>
#include <string>

#include "transfer/ProgressSink.h"

namespace pcg {

class UploadMonitor;

// Uploads a small file (or a name that is no file) as one multipart form
// POST on one thread while a monitor thread polls the upload-progress
// service of the same host ("/progress", header "X-Progress-ID") and turns
// its answers into OnProgress events. A name that is no file ends the
// upload thread without an event; a file that is there but cannot be read
// ends it with OnFail(0).
//
// The monitor asks about every kPollIntervalMs (every client of a service
// loads it the same way) until the service answers "done" or "error" or the
// client answers E_ABORT (with an event sink), and in any case once the
// upload thread has ended and the answer after that end is reported: it
// never polls for ever. An answer that is not the service's (a failed
// request, a non-2xx status, a page without the JSON object) is "no progress
// known" for that round. On "done" it does not cancel the upload, whose
// answer may still be on its way.
class FormUpload {
public:
    static constexpr unsigned kPollIntervalMs = 500;

    FormUpload(const std::string& token, const std::string& fileName, const std::string& url,
               std::shared_ptr<ProgressSink> sink);
    ~FormUpload();
    FormUpload(const FormUpload&) = delete;
    FormUpload& operator=(const FormUpload&) = delete;

    // Creates both threads, then lets them run together; they go on by
    // themselves (the monitor deletes the upload thread, then itself). When
    // a thread cannot be created, throws TransferError and nothing runs.
    void Start();

private:
    std::unique_ptr<UploadMonitor> monitor_;
};

}  // namespace pcg
