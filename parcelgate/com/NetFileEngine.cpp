#include "com/NetFileEngine.h"

#include "com/BstrText.h"
#include "com/ComError.h"
#include "base/Json.h"
#include "com/NetFileTrans.h"
#include "http/ProxySettings.h"

namespace pcg {

STDMETHODIMP NetFileEngine::CreateNetFileTrans(BSTR AConnectionStr, INetFileTrans** Value) {
    if (!Value) return E_POINTER;
    *Value = nullptr;
    try {
        JsonValue connection;
        if (!ParseJson(AnsiFromBstr(AConnectionStr), connection))
            throw OleError(E_UNEXPECTED, "Connection string is not JSON");
        // A value other than an object carries no token.
        std::string token = connection.IsObject() ? connection.GetString("access_token") : std::string();
        NetFileTrans* trans = new NetFileTrans();  // one reference, the caller's
        trans->SetToken(std::move(token));
        *Value = trans;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileEngine);
    }
}

STDMETHODIMP NetFileEngine::GetLastError(LONG* Value) {
    if (!Value) return E_POINTER;
    *Value = lastError_;
    return S_OK;
}

STDMETHODIMP NetFileEngine::LoadProxyInfo(BSTR AHost, BSTR APort, BSTR AUser, BSTR APassWord,
                                           VARIANT_BOOL* Value) {
    if (!Value) return E_POINTER;
    *Value = VARIANT_FALSE;
    try {
        ProxySettings::SetProxy(AnsiFromBstr(AHost), AnsiFromBstr(APort), AnsiFromBstr(AUser), AnsiFromBstr(APassWord));
        *Value = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileEngine);
    }
}

}  // namespace pcg
