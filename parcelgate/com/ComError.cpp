#include "ComError.h"

#include <oleauto.h>

#include <new>

namespace pcg {

std::wstring WideFromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string AnsiFromBstr(BSTR text) {
    UINT length = text ? SysStringLen(text) : 0;
    if (length == 0) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

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

HRESULT ErrorFromCaught(REFIID iid) noexcept {
    HRESULT code = E_UNEXPECTED;
    std::string message;
    try {
        throw;
    } catch (const OleError& e) {
        code = e.Code();
        message = e.what();
    } catch (const std::bad_alloc&) {
        code = E_OUTOFMEMORY;
        message = "Out of memory";
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unexpected error";
    }
    SetErrorObject(iid, message);
    return code;
}

}  // namespace pcg
