#include "ClassFactory.h"

#include <oleauto.h>

#include <new>

#include "ComServer.h"
#include "PCGTridentServer.h"

namespace pcg {
namespace {

IUnknown* CreateEngine() {
    return static_cast<INetFileEngine*>(new (std::nothrow) TNetFileEngine());
}

IUnknown* CreateTrans() {
    return static_cast<INetFileTrans*>(new (std::nothrow) TNetFileTrans());
}

TComObjectFactory engineFactory(CLSID_NetFileEngine, CreateEngine);
TComObjectFactory transFactory(CLSID_NetFileTrans, CreateTrans);
TComObjectFactory* const factories[] = {&engineFactory, &transFactory};

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

}  // namespace

TComObjectFactory* const* ServerFactories(size_t* count) {
    *count = sizeof factories / sizeof factories[0];
    return factories;
}

TComObjectFactory* FindFactory(REFCLSID clsid) {
    for (TComObjectFactory* factory : factories)
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

void TComObjectFactory::ReadDocumentation(std::wstring* name, std::wstring* help) const {
    ITypeInfo* info = ServerTypeInfo(clsid_);
    if (!info) return;
    BSTR nameText = nullptr;
    BSTR helpText = nullptr;
    if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &nameText, &helpText, nullptr, nullptr))) {
        if (name) *name = FromBstr(nameText);
        if (help) *help = FromBstr(helpText);
        SysFreeString(nameText);
        SysFreeString(helpText);
    }
    info->Release();
}

std::wstring TComObjectFactory::ClassName() const {
    std::wstring name;
    ReadDocumentation(&name, nullptr);
    return name;
}

std::wstring TComObjectFactory::Description() const {
    std::wstring help;
    ReadDocumentation(nullptr, &help);
    return help;
}

std::wstring TComObjectFactory::ProgId() const { return ServerName() + L"." + ClassName(); }

STDMETHODIMP TComObjectFactory::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TComObjectFactory::AddRef() {
    ServerAddRef();
    return 2;
}

STDMETHODIMP_(ULONG) TComObjectFactory::Release() {
    ServerRelease();
    return 1;
}

STDMETHODIMP TComObjectFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IUnknown* created = creator_();
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

STDMETHODIMP TComObjectFactory::LockServer(BOOL lock) {
    if (lock)
        ServerAddRef();
    else
        ServerRelease();
    return S_OK;
}

}  // namespace pcg
