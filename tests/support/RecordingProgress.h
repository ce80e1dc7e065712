// The transfer workers' progress interface as a test client: records every
// event with the thread it arrived on; Wait() returns once the run's last
// event (OnFinish or OnFail) arrived. It may answer OnProgress (E_ABORT).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/ProgressSink.h"

namespace testing_support {

class RecordingProgress : public pcg::ProgressSink {
public:
    RecordingProgress() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RecordingProgress() override { CloseHandle(done_); }
    RecordingProgress(const RecordingProgress&) = delete;
    RecordingProgress& operator=(const RecordingProgress&) = delete;

    HRESULT OnBegin() override { return Add("OnBegin", false); }
    HRESULT OnFinish() override { return Add("OnFinish", true); }
    HRESULT OnFail(long code) override { return Add("OnFail(" + std::to_string(code) + ")", true); }
    HRESULT OnProgress(uint64_t position, uint64_t maximum, HRESULT* value) override {
        HRESULT result = Add("OnProgress(" + std::to_string(position) + "," + std::to_string(maximum) + ")", false);
        if (answer_) *value = answer_(++progressCount_);
        return result;
    }

    // What the client puts into Value at the n-th OnProgress (from 1), for
    // example E_ABORT to stop; may also act on the transfer's file. Set
    // before the transfer starts.
    void AnswerProgress(std::function<HRESULT(int n)> answer) { answer_ = std::move(answer); }

    bool Wait(DWORD ms = 30000) const { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }

    std::vector<std::string> Names() const {
        std::lock_guard<std::mutex> hold(lock_);
        return names_;
    }

private:
    HRESULT Add(const std::string& name, bool last) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            names_.push_back(name);
        }
        if (last) SetEvent(done_);
        return S_OK;
    }

    HANDLE done_;
    std::function<HRESULT(int)> answer_;
    int progressCount_ = 0;
    mutable std::mutex lock_;
    std::vector<std::string> names_;
};

// Waits until `sink` is held only by the caller: the worker let go of it.
template <class Sink>
bool WaitUntilSoleOwner(const std::shared_ptr<Sink>& sink, DWORD ms = 10000) {
    for (DWORD waited = 0; sink.use_count() > 1 && waited < ms; waited += 10) Sleep(10);
    return sink.use_count() == 1;
}

}  // namespace testing_support
