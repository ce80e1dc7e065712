// Multi-instance class factories of the server's two coclasses.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>

namespace pcg {

class ClassFactory : public IClassFactory {
public:
    // Makes a new object with one reference, or nullptr when out of memory.
    using Creator = IUnknown* (*)();

    ClassFactory(const CLSID& clsid, Creator creator) : clsid_(clsid), creator_(creator) {}
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    const CLSID& ClassId() const { return clsid_; }
    // The coclass's name and help string in the type library ("" for none).
    std::wstring ClassName() const;
    std::wstring Description() const;
    // Server name "." class name, for example "Parcelgate.NetFileEngine".
    std::wstring ProgId() const;

    // IUnknown: the factories live as long as the module; references held by
    // clients keep the module loaded.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    void ReadDocumentation(std::wstring* name, std::wstring* help) const;

    CLSID clsid_;
    Creator creator_;
};

// The factories in registration order (NetFileEngine, NetFileTrans);
// `count` receives their number.
ClassFactory* const* ServerFactories(size_t* count);

// The factory of `clsid`, or nullptr.
ClassFactory* FindFactory(REFCLSID clsid);

// Server name of the type library ("Parcelgate").
std::wstring ServerName();

}  // namespace pcg
