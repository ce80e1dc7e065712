#include "com/ClassFactory.h"

#include <oleauto.h>

#include <new>

#include "com/ComServer.h"
#include "com/NetFileEngine.h"
#include "com/NetFileTrans.h"

namespace pcg {
namespace {

IUnknown* CreateEngine() {
    return static_cast<INetFileEngine*>(new (std::nothrow) NetFileEngine());
}

IUnknown* CreateTrans() {
    return static_cast<INetFileTrans*>(new (std::nothrow) NetFileTrans());
}

ClassFactory engineFactory(CLSID_NetFileEngine, CreateEngine);
ClassFactory transFactory(CLSID_NetFileTrans, CreateTrans);
ClassFactory* const factories[] = {&engineFactory, &transFactory};

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

}  // namespace

ClassFactory* const* ServerFactories(size_t* count) {
    *count = sizeof factories / sizeof factories[0];
    return factories;
}

ClassFactory* FindFactory(REFCLSID clsid) {
    for (ClassFactory* factory : factories)
        if (factory->ClassId() == clsid) return factory;
    return nullptr;
}

std::wstring ServerName() {
    ITypeLib* library = ServerTypeLib();
    BSTR name = nullptr;
    if (!library || FAILED(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr))) return std::wstring();
    std::wstring text = FromBstr(name);
    SysFreeString(name);
    return text;
}

void ClassFactory::ReadDocumentation(std::wstring* name, std::wstring* help) const {
    Microsoft::WRL::ComPtr<ITypeInfo> info = ServerTypeInfo(clsid_);
    if (!info) return;
    BSTR nameText = nullptr;
    BSTR helpText = nullptr;
    if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &nameText, &helpText, nullptr, nullptr))) {
        if (name) *name = FromBstr(nameText);
        if (help) *help = FromBstr(helpText);
        SysFreeString(nameText);
        SysFreeString(helpText);
    }
}

std::wstring ClassFactory::ClassName() const {
    std::wstring name;
    ReadDocumentation(&name, nullptr);
    return name;
}

std::wstring ClassFactory::Description() const {
    std::wstring help;
    ReadDocumentation(nullptr, &help);
    return help;
}

std::wstring ClassFactory::ProgId() const { return ServerName() + L"." + ClassName(); }

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    ServerAddRef();
    return 2;
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    ServerRelease();
    return 1;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IUnknown* created = creator_();
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ServerAddRef();
    else
        ServerRelease();
    return S_OK;
}

}  // namespace pcg
