#include "com/ComError.h"

#include <oleauto.h>

#include <new>

#include "base/Text.h"

namespace pcg {

void SetErrorObject(REFIID iid, const std::string& message) noexcept {
    try {
        ICreateErrorInfo* create = nullptr;
        if (FAILED(CreateErrorInfo(&create))) return;
        std::wstring description = WideFromAnsi(message);
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetGUID(iid);
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    } catch (...) {
        // Out of memory while describing an error: the HRESULT still tells.
    }
}

HRESULT CodeFromCaught(std::string* message) noexcept {
    const char* text = "Unexpected error";
    HRESULT code = E_UNEXPECTED;
    try {
        throw;
    } catch (const OleError& e) {
        code = e.Code();
        text = e.what();
    } catch (const std::bad_alloc&) {
        code = E_OUTOFMEMORY;
        text = "Out of memory";
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    if (message) {
        try {
            *message = text;
        } catch (...) {
            // Out of memory while describing an error: the HRESULT still tells.
        }
    }
    return code;
}

HRESULT ErrorFromCaught(REFIID iid) noexcept {
    std::string message;
    const HRESULT code = CodeFromCaught(&message);
    SetErrorObject(iid, message);
    return code;
}

}  // namespace pcg
