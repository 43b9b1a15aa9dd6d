// The in-process server's exports: class factory, unload check, and registration of class, ProgIDs, AppID and type
// library in the registry store.
#include <cerrno>
#include <exception>
#include <new>

#include "HostDrv.h"
#include "krv/platform/registry.h"

#define DRAVIX_EXPORT extern "C" __attribute__((visibility("default")))

namespace MirrorKit::dravix {
namespace {

namespace reg = MirrorKit::platform::registry;

const char kRoot[] = "HKEY_CLASSES_ROOT\\";
const char kFriendlyName[] = "CHostDrv Object";
const char kProgId[] = "Dravix.HostDrv.1";
const char kIndependentProgId[] = "Dravix.HostDrv";
const char kAppIdName[] = "Dravix";
const char kAppIdModuleKey[] = "Dravix.DLL";
// The application id is the type library's id.
constexpr GUID kAppId = LIBID_Dravix;

const MirrorKit::com::TypeLibInterface kInterfaces[] = {{IID_IHostDrv, "IHostDrv"}};
const MirrorKit::com::TypeLibInfo kTypeLib = {LIBID_Dravix, 1, 0, "Dravix 1.0 Type Library", kInterfaces, 1};

class Factory final : public MirrorKit::com::StaticClassFactory {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        // An aggregating object may only ask for the inner IUnknown.
        if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        try {
            auto* host = new CHostDrv(outer);
            if (!host->ok()) {
                host->inner()->Release();
                return E_FAIL;
            }
            HRESULT hr = host->inner()->QueryInterface(riid, object);
            host->inner()->Release();
            return hr;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        gServerRefs += lock ? 1 : -1;
        return S_OK;
    }
};

Factory gFactory;

bool ok(int rc) { return rc == 0; }

HRESULT registerKeys(const std::string& modulePath) {
    const std::string clsid = MirrorKit::com::guidToString(CLSID_CHostDrv);
    const std::string libid = MirrorKit::com::guidToString(LIBID_Dravix);
    const std::string appid = MirrorKit::com::guidToString(kAppId);
    const std::string root = kRoot;
    const std::string cls = root + "CLSID\\" + clsid;
    bool done =
        ok(reg::setString(root + kProgId, "", kFriendlyName)) && ok(reg::setString(root + kProgId + "\\CLSID", "", clsid)) &&
        ok(reg::setString(root + kIndependentProgId, "", kFriendlyName)) &&
        ok(reg::setString(root + kIndependentProgId + "\\CLSID", "", clsid)) &&
        ok(reg::setString(root + kIndependentProgId + "\\CurVer", "", kProgId)) &&
        ok(reg::setString(cls, "", kFriendlyName)) && ok(reg::setString(cls, "AppID", appid)) &&
        ok(reg::setString(cls + "\\ProgID", "", kProgId)) &&
        ok(reg::setString(cls + "\\VersionIndependentProgID", "", kIndependentProgId)) &&
        ok(reg::createKey(cls + "\\Programmable")) && ok(reg::setString(cls + "\\InprocServer32", "", modulePath)) &&
        ok(reg::setString(cls + "\\InprocServer32", "ThreadingModel", "apartment")) &&
        ok(reg::setString(cls + "\\TypeLib", "", libid)) &&
        ok(reg::setString(root + "AppID\\" + appid, "", kAppIdName)) &&
        ok(reg::setString(root + "AppID\\" + kAppIdModuleKey, "AppID", appid));
    if (!done) return SELFREG_E_CLASS;
    return MirrorKit::com::registerTypeLib(kTypeLib, modulePath);
}

HRESULT unregisterKeys() {
    const std::string root = kRoot;
    const std::string keys[] = {
        root + kProgId,
        root + kIndependentProgId,
        root + "CLSID\\" + MirrorKit::com::guidToString(CLSID_CHostDrv),
        root + "AppID\\" + MirrorKit::com::guidToString(kAppId),
        root + "AppID\\" + kAppIdModuleKey,
    };
    bool done = true;
    for (const std::string& key : keys) {
        int rc = reg::deleteTree(key);
        done = done && (rc == 0 || rc == ENOENT);
    }
    HRESULT hr = MirrorKit::com::unregisterTypeLib(kTypeLib);
    if (!done) return SELFREG_E_CLASS;
    return hr;
}

}  // namespace
}  // namespace MirrorKit::dravix

DRAVIX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_CHostDrv) return CLASS_E_CLASSNOTAVAILABLE;
    return MirrorKit::dravix::gFactory.QueryInterface(riid, object);
}

DRAVIX_EXPORT HRESULT DllCanUnloadNow() { return MirrorKit::dravix::gServerRefs == 0 ? S_OK : S_FALSE; }

DRAVIX_EXPORT HRESULT DllRegisterServer() {
    try {
        // The module records where it was loaded from, so activation finds it wherever it is installed.
        std::string path = MirrorKit::com::modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
        if (path.empty()) return SELFREG_E_CLASS;
        return MirrorKit::dravix::registerKeys(path);
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

DRAVIX_EXPORT HRESULT DllUnregisterServer() {
    try {
        return MirrorKit::dravix::unregisterKeys();
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}
