// The transfer object: carries a token and an event sink, and starts
// workers.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <utility>

#include "com/AutoObject.h"
#include "Parcelgate_h.h"

namespace pcg {

// Files up to this size go by form upload, bigger ones in chunks.
constexpr long long kFormUploadLimit = 10240;

class NetFileTrans : public AutoObject<INetFileTrans> {
public:
    void SetToken(std::string token) noexcept { token_ = std::move(token); }

    STDMETHODIMP DownLoad(BSTR AUrl, BSTR AFileName, VARIANT_BOOL* Param3) override;
    STDMETHODIMP Upload(BSTR AFileName, BSTR AUrl, VARIANT_BOOL AForceReUpload, VARIANT_BOOL* Value) override;
    STDMETHODIMP get_Progress(INetFileProgress** Value) override;
    STDMETHODIMP put_Progress(INetFileProgress* sink) override;

private:
    // AUrl + "?access_token=" + token, always appended.
    std::string FullUrl(const std::string& url) const;

    std::string token_;
    Microsoft::WRL::ComPtr<INetFileProgress> sink_;
};

}  // namespace pcg
