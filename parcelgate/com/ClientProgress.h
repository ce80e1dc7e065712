// The workers' progress interface over the client's INetFileProgress: a
// counted reference of its own, calls made straight through the vtable on
// the worker's thread, nothing queued or marshalled.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <memory>

#include "Parcelgate_h.h"
#include "transfer/ProgressSink.h"

namespace pcg {

class ClientProgress final : public ProgressSink {
public:
    explicit ClientProgress(INetFileProgress* client) : client_(client) {}

    // nullptr without a client: the worker then raises no events.
    static std::shared_ptr<ProgressSink> For(INetFileProgress* client) {
        return client ? std::make_shared<ClientProgress>(client) : nullptr;
    }

    HRESULT OnBegin() override {
        HRESULT value = S_OK;
        return client_->OnBegin(&value);
    }
    HRESULT OnFinish() override {
        HRESULT value = S_OK;
        return client_->OnFinish(&value);
    }
    HRESULT OnFail(long code) override {
        HRESULT value = S_OK;
        return client_->OnFail(code, &value);
    }
    HRESULT OnProgress(uint64_t position, uint64_t maximum, HRESULT* value) override {
        return client_->OnProgress(position, maximum, nfaNone, value);
    }

private:
    Microsoft::WRL::ComPtr<INetFileProgress> client_;
};

}  // namespace pcg
