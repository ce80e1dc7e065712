#include "com/NetFileTrans.h"

#include <memory>

#include "transfer/BigFileUploadWorker.h"
#include "com/BstrText.h"
#include "com/ClientProgress.h"
#include "com/ComError.h"
#include "transfer/DownloadWorker.h"
#include "transfer/FileUtils.h"
#include "transfer/FormUpload.h"
#include "base/Utils.h"

namespace pcg {

// The published type library fixes these sizes for every client.
static_assert(sizeof(TNetFileAction) == 4, "TNetFileAction is a 4-byte enumeration");
static_assert(sizeof(VARIANT_BOOL) == 2, "VARIANT_BOOL crosses the interface as 16 bits");

std::string NetFileTrans::FullUrl(const std::string& url) const { return url + "?access_token=" + token_; }

STDMETHODIMP NetFileTrans::DownLoad(BSTR AUrl, BSTR AFileName, VARIANT_BOOL* Param3) {
    if (!Param3) return E_POINTER;
    *Param3 = VARIANT_FALSE;
    try {
        const std::string url = AnsiFromBstr(AUrl);
        const std::string fullUrl = FullUrl(url);
        if (!IsHttpUrl(url)) return S_OK;
        auto worker = std::make_unique<DownloadWorker>(token_, ClientProgress::For(sink_.Get()), fullUrl, AnsiFromBstr(AFileName));
        worker->Start();
        worker.release();  // deletes itself when its run ends
        *Param3 = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileTrans);
    }
}

STDMETHODIMP NetFileTrans::Upload(BSTR AFileName, BSTR AUrl, VARIANT_BOOL AForceReUpload, VARIANT_BOOL* Value) {
    if (!Value) return E_POINTER;
    *Value = VARIANT_FALSE;
    try {
        const std::string fullUrl = FullUrl(AnsiFromBstr(AUrl));
        if (!IsHttpUrl(fullUrl)) return S_OK;
        const std::string fileName = AnsiFromBstr(AFileName);
        if (GetFileSize64(fileName) <= kFormUploadLimit) {
            // A missing file (-1) lands here too; its worker ends silently.
            FormUpload upload(token_, fileName, fullUrl, ClientProgress::For(sink_.Get()));
            upload.Start();
        } else {
            auto worker = std::make_unique<BigFileUploadWorker>(AForceReUpload != VARIANT_FALSE, NewSessionId(),
                                                                    fileName, fullUrl, ClientProgress::For(sink_.Get()), token_);
            worker->Start();
            worker.release();  // deletes itself when its run ends
        }
        *Value = VARIANT_TRUE;
        return S_OK;
    } catch (...) {
        return ErrorFromCaught(IID_INetFileTrans);
    }
}

STDMETHODIMP NetFileTrans::get_Progress(INetFileProgress** Value) {
    if (!Value) return E_POINTER;
    Microsoft::WRL::ComPtr<INetFileProgress> copy = sink_;
    *Value = copy.Detach();
    return S_OK;
}

STDMETHODIMP NetFileTrans::put_Progress(INetFileProgress* sink) {
    sink_ = sink;
    return S_OK;
}

}  // namespace pcg
