// What a transfer worker tells its client. The COM layer implements it over
// the client's own callback object; workers know nothing of COM.
//
// Every call is made on the worker's own thread and answers the client's
// HRESULT: a failure ends the worker's run at that point.
#pragma once

#include <windows.h>

#include <cstdint>

namespace pcg {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;

    virtual HRESULT OnBegin() = 0;
    virtual HRESULT OnFinish() = 0;
    virtual HRESULT OnFail(long code) = 0;
    // *value is S_OK when the call starts; the client may set E_ABORT there
    // to ask the transfer to stop.
    virtual HRESULT OnProgress(uint64_t position, uint64_t maximum, HRESULT* value) = 0;
};

}  // namespace pcg
