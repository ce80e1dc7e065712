#include "PCGTridentServer.h"

#include <memory>

#include "ComError.h"
#include "PCGFileUtils.h"
#include "PCGJson.h"
#include "PCGProxy.h"
#include "PCGTrans.h"
#include "PCGUtils.h"

namespace pcg {

// The published type library fixes these sizes for every client.
static_assert(sizeof(TNetFileAction) == 4, "TNetFileAction is a 4-byte enumeration");
static_assert(sizeof(VARIANT_BOOL) == 2, "VARIANT_BOOL crosses the interface as 16 bits");

STDMETHODIMP TNetFileEngine::CreateNetFileTrans(BSTR AConnectionStr, INetFileTrans** Value) {
    if (!Value) return E_POINTER;
    *Value = nullptr;
    try {
        TPCGJsonValue connection;
        if (!ParseJson(AnsiFromBstr(AConnectionStr), connection))
            throw OleError(E_UNEXPECTED, "Connection string is not JSON");
        // A value other than an object carries no token.
        std::string token = connection.IsObject() ? connection.GetString("access_token") : std::string();
        TNetFileTrans* trans = new TNetFileTrans();  // one reference, the caller's
        trans->SetToken(std::move(token));
        *Value = trans;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileEngine);
    }
}

STDMETHODIMP TNetFileEngine::GetLastError(LONG* Value) {
    if (!Value) return E_POINTER;
    *Value = lastError_;
    return S_OK;
}

STDMETHODIMP TNetFileEngine::LoadProxyInfo(BSTR AHost, BSTR APort, BSTR AUser, BSTR APassWord,
                                           VARIANT_BOOL* Value) {
    if (!Value) return E_POINTER;
    *Value = VARIANT_FALSE;
    try {
        TPCGProxy::SetProxy(AnsiFromBstr(AHost), AnsiFromBstr(APort), AnsiFromBstr(AUser), AnsiFromBstr(APassWord));
        *Value = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileEngine);
    }
}

std::string TNetFileTrans::FullUrl(const std::string& url) const { return url + "?access_token=" + token_; }

STDMETHODIMP TNetFileTrans::DownLoad(BSTR AUrl, BSTR AFileName, VARIANT_BOOL* Param3) {
    if (!Param3) return E_POINTER;
    *Param3 = VARIANT_FALSE;
    try {
        const std::string url = AnsiFromBstr(AUrl);
        const std::string fullUrl = FullUrl(url);
        if (!IsHttpUrl(url)) return S_OK;
        auto worker = std::make_unique<TPCGDownLoadThread>(token_, sink_.Get(), fullUrl, AnsiFromBstr(AFileName));
        worker->Start();
        worker.release();  // deletes itself when its run ends
        *Param3 = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileTrans);
    }
}

STDMETHODIMP TNetFileTrans::Upload(BSTR AFileName, BSTR AUrl, VARIANT_BOOL AForceReUpload, VARIANT_BOOL* Value) {
    if (!Value) return E_POINTER;
    *Value = VARIANT_FALSE;
    try {
        const std::string fullUrl = FullUrl(AnsiFromBstr(AUrl));
        if (!IsHttpUrl(fullUrl)) return S_OK;
        const std::string fileName = AnsiFromBstr(AFileName);
        if (GetFileSize64(fileName) <= kFormUploadLimit) {
            // A missing file (-1) lands here too; its worker ends silently.
            TPCGUpload upload(token_, fileName, fullUrl, sink_.Get());
            upload.Start();
        } else {
            auto worker = std::make_unique<TPCGBigFileUploadThread>(AForceReUpload != VARIANT_FALSE, NewSessionId(),
                                                                    fileName, fullUrl, sink_.Get(), token_);
            worker->Start();
            worker.release();  // deletes itself when its run ends
        }
        *Value = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileTrans);
    }
}

STDMETHODIMP TNetFileTrans::get_Progress(INetFileProgress** Value) {
    if (!Value) return E_POINTER;
    Microsoft::WRL::ComPtr<INetFileProgress> copy = sink_;
    *Value = copy.Detach();
    return S_OK;
}

STDMETHODIMP TNetFileTrans::put_Progress(INetFileProgress* sink) {
    sink_ = sink;
    return S_OK;
}

}  // namespace pcg
