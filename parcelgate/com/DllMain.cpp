// The four entry points of Parcelgate.dll and its load and unload.
#include <windows.h>
#include <objbase.h>

#include "com/ClassFactory.h"
#include "com/ComError.h"
#include "com/ComServer.h"
#include "http/ProxySettings.h"
#include "transfer/WorkerThread.h"
#include "com/Registration.h"

using namespace pcg;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_DETACH:
        // At process exit other libraries may be gone already; only a
        // FreeLibrary unload tidies up.
        if (!reserved) {
            ReleaseServerTypeLib();
            ProxySettings::Clear();
        }
        break;
    default:
        break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    ClassFactory* factory = FindFactory(clsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() {
    return ServerCount() == 0 && RunningWorkers() == 0 ? S_OK : S_FALSE;
}

// Both answer the HRESULT of what failed, so regsvr32 and installers can
// tell a denied registry key from a broken type library.
STDAPI DllRegisterServer() {
    try {
        RegisterServer();
        return S_OK;
    } catch (...) {
        return CodeFromCaught();
    }
}

STDAPI DllUnregisterServer() {
    try {
        return UnregisterServer() ? S_OK : E_FAIL;
    } catch (...) {
        return CodeFromCaught();
    }
}
