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
    int callsInProgress = 0;  // a server is never unloaded while one of its entry points runs
};

// Servers stay loaded across calls, as the class factory of a loaded server may hand out objects at any time.
std::mutex gServersMutex;
std::map<std::string, LoadedServer>& servers() {
    static auto* table = new std::map<std::string, LoadedServer>();  // never destroyed: exit order is unknown
    return *table;
}

// Finds or loads the server and counts one call in progress on it; end it with endCall(path).
HRESULT beginCall(const std::string& path, LoadedServer& out) {
    std::lock_guard<std::mutex> lock(gServersMutex);
    auto it = servers().find(path);
    if (it != servers().end()) {
        ++it->second.callsInProgress;
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
    server.callsInProgress = 1;
    servers()[path] = server;
    out = server;
    return S_OK;
}

void endCall(const std::string& path) {
    std::lock_guard<std::mutex> lock(gServersMutex);
    auto it = servers().find(path);
    if (it != servers().end() && it->second.callsInProgress > 0) --it->second.callsInProgress;
}

// The registered server library of a class.
HRESULT serverPath(REFCLSID clsid, DWORD context, std::string& path) {
    if (tApartment.count == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC) == 0) return REGDB_E_CLASSNOTREG;
    int rc = MirrorKit::platform::registry::queryString(MirrorKit::com::classKey(clsid) + "\\InprocServer32", "", path);
    if (rc == ENOENT || (rc == 0 && path.empty())) return REGDB_E_CLASSNOTREG;
    if (rc != 0) return REGDB_E_READREGDB;
    return S_OK;
}

// Asks the class's server for its class factory and lets use() work with it, keeping the server loaded until
// use() is done (the factory of a server needs its code).
template <class Use>
HRESULT withClassObject(REFCLSID clsid, DWORD context, REFIID riid, void** object, Use use) {
    std::string path;
    HRESULT hr = serverPath(clsid, context, path);
    if (FAILED(hr)) return hr;
    LoadedServer server;
    hr = beginCall(path, server);
    if (FAILED(hr)) return hr;
    hr = server.getClassObject(clsid, riid, object);
    if (SUCCEEDED(hr)) hr = use();
    endCall(path);
    return hr;
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
    return withClassObject(clsid, context, riid, object, [] { return S_OK; });
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // Aggregation hands out the outer object's IUnknown only.
    if (outer != nullptr && riid != IID_IUnknown) return E_INVALIDARG;
    IClassFactory* factory = nullptr;
    return withClassObject(clsid, context, IID_IClassFactory, reinterpret_cast<void**>(&factory), [&] {
        if (factory == nullptr) return E_UNEXPECTED;
        HRESULT hr = factory->CreateInstance(outer, riid, object);
        factory->Release();
        return hr;
    });
}

void CoFreeUnusedLibraries() {
    std::lock_guard<std::mutex> lock(gServersMutex);
    for (auto it = servers().begin(); it != servers().end();) {
        if (it->second.callsInProgress == 0 && it->second.canUnloadNow != nullptr &&
            it->second.canUnloadNow() == S_OK) {
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
