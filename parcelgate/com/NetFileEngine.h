// The engine: hands out transfer objects that carry an access token, and
// holds the process-wide proxy settings.
#pragma once

#include <windows.h>

#include "com/AutoObject.h"
#include "Parcelgate_h.h"

namespace pcg {

class NetFileEngine : public AutoObject<INetFileEngine> {
public:
    STDMETHODIMP CreateNetFileTrans(BSTR AConnectionStr, INetFileTrans** Value) override;
    STDMETHODIMP GetLastError(LONG* Value) override;
    STDMETHODIMP LoadProxyInfo(BSTR AHost, BSTR APort, BSTR AUser, BSTR APassWord, VARIANT_BOOL* Value) override;

private:
    LONG lastError_ = 0;  // never changed; kept for the published interface
};

}  // namespace pcg
