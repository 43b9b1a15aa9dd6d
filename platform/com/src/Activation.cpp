// Per-thread initialisation and in-process class activation through the registry store.
#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

#include "krv/platform/com.h"
#include "krv/platform/dynlib.h"
#include "krv/platform/registry.h"

namespace {

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment tApartment;

struct LoadedServer {
    void* library = nullptr;
    PFN_DllGetClassObject getClassObject = nullptr;
    PFN_DllCanUnloadNow canUnloadNow = nullptr;
};

// Servers stay loaded across calls, as the class factory of a loaded server may hand out objects at any time.
std::mutex gServersMutex;
std::map<std::string, LoadedServer>& servers() {
    static auto* table = new std::map<std::string, LoadedServer>();  // never destroyed: exit order is unknown
    return *table;
}

HRESULT serverFor(const std::string& path, LoadedServer& out) {
    std::lock_guard<std::mutex> lock(gServersMutex);
    auto it = servers().find(path);
    if (it != servers().end()) {
        out = it->second;
        return S_OK;
    }
    std::string error;
    void* library = MirrorKit::platform::loadLibrary(path, error);
    if (library == nullptr) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    LoadedServer server;
    server.library = library;
    server.getClassObject =
        reinterpret_cast<PFN_DllGetClassObject>(MirrorKit::platform::resolveSymbol(library, "DllGetClassObject"));
    server.canUnloadNow =
        reinterpret_cast<PFN_DllCanUnloadNow>(MirrorKit::platform::resolveSymbol(library, "DllCanUnloadNow"));
    if (server.getClassObject == nullptr) {
        MirrorKit::platform::closeLibrary(library);
        return CO_E_ERRORINDLL;
    }
    servers()[path] = server;
    out = server;
    return S_OK;
}

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD coInit) {
    if (reserved != nullptr) return E_INVALIDARG;
    DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (tApartment.count > 0) {
        if (tApartment.model != model) return RPC_E_CHANGED_MODE;
        ++tApartment.count;
        return S_FALSE;
    }
    tApartment.count = 1;
    tApartment.model = model;
    return S_OK;
}

void CoUninitialize() {
    if (tApartment.count > 0) --tApartment.count;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (tApartment.count == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC) == 0) return REGDB_E_CLASSNOTREG;

    std::string path;
    int rc = MirrorKit::platform::registry::queryString(MirrorKit::com::classKey(clsid) + "\\InprocServer32", "", path);
    if (rc == ENOENT || (rc == 0 && path.empty())) return REGDB_E_CLASSNOTREG;
    if (rc != 0) return REGDB_E_READREGDB;

    LoadedServer server;
    HRESULT hr = serverFor(path, server);
    if (FAILED(hr)) return hr;
    return server.getClassObject(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // Aggregation hands out the outer object's IUnknown only.
    if (outer != nullptr && riid != IID_IUnknown) return E_INVALIDARG;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == nullptr) return E_UNEXPECTED;
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    std::lock_guard<std::mutex> lock(gServersMutex);
    for (auto it = servers().begin(); it != servers().end();) {
        if (it->second.canUnloadNow != nullptr && it->second.canUnloadNow() == S_OK) {
            MirrorKit::platform::closeLibrary(it->second.library);
            it = servers().erase(it);
        } else {
            ++it;
        }
    }
}

namespace MirrorKit::com {

std::string classKey(REFCLSID clsid) { return "HKEY_CLASSES_ROOT\\CLSID\\" + guidToString(clsid); }

HRESULT registerServer(const std::string& libraryPath, bool unregister) {
    std::string error;
    void* library = platform::loadLibrary(libraryPath, error);
    if (library == nullptr) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    auto entry = reinterpret_cast<PFN_DllRegisterServer>(
        platform::resolveSymbol(library, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    HRESULT hr = entry != nullptr ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    platform::closeLibrary(library);
    return hr;
}

std::string modulePathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
}

}  // namespace MirrorKit::com
