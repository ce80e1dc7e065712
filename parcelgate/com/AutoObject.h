// Base of the automation objects: reference counting, the module count, and
// IDispatch served from the embedded type library's description of the one
// interface the object implements.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>

#include "com/ComServer.h"

namespace pcg {

template <class Interface>
class AutoObject : public Interface, public ISupportErrorInfo {
public:
    AutoObject() : typeInfo_(ServerTypeInfo(__uuidof(Interface))) { ServerAddRef(); }
    virtual ~AutoObject() { ServerRelease(); }
    AutoObject(const AutoObject&) = delete;
    AutoObject& operator=(const AutoObject&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(Interface)) {
            *object = static_cast<Interface*>(this);
        } else if (riid == IID_ISupportErrorInfo) {
            *object = static_cast<ISupportErrorInfo*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = typeInfo_ ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0 || !typeInfo_) return DISP_E_BADINDEX;
        Microsoft::WRL::ComPtr<ITypeInfo> copy = typeInfo_;
        *info = copy.Detach();
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!typeInfo_) return E_UNEXPECTED;
        return DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!typeInfo_) return E_UNEXPECTED;
        return typeInfo_->Invoke(static_cast<Interface*>(this), id, flags, params, result, exception, argError);
    }

    // ISupportErrorInfo: the methods of the one interface set error objects.
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == __uuidof(Interface) ? S_OK : S_FALSE;
    }

private:
    std::atomic<ULONG> references_{1};
    Microsoft::WRL::ComPtr<ITypeInfo> typeInfo_;
};

}  // namespace pcg
