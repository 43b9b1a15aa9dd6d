// Registration keys, activation outcomes, aggregation and unloading of the server module.
#include <atomic>

#include "DravixFixture.h"
#include "krv/platform/dynlib.h"
#include "krv/platform/registry.h"

namespace DravixTests {
namespace {

namespace reg = MirrorKit::platform::registry;
const std::string kClsKey = "HKEY_CLASSES_ROOT\\CLSID\\{615FAAA3-B515-4D4C-9F04-013D13FEB154}";
const std::string kLibId = "{0B17F235-D808-4A8B-82FB-F892607C1D55}";

std::string value(const std::string& key, const std::string& name = "") {
    std::string v;
    int rc = reg::queryString(key, name, v);
    return rc == 0 ? v : "<" + reg::errorText(rc) + ">";
}

TEST_F(DravixTest, RegistrationWritesEveryKey) {
    // Shared roots that other servers use too, present before this one registers.
    ASSERT_EQ(MirrorKit::com::registerServer(modulePath(), true), S_OK);
    ASSERT_EQ(reg::createKey("HKEY_CLASSES_ROOT\\CLSID"), 0);
    ASSERT_EQ(reg::createKey("HKEY_CLASSES_ROOT\\AppID"), 0);
    ASSERT_EQ(MirrorKit::com::registerServer(modulePath(), false), S_OK);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Dravix.HostDrv.1"), "CHostDrv Object");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Dravix.HostDrv.1\\CLSID"), "{615FAAA3-B515-4D4C-9F04-013D13FEB154}");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Dravix.HostDrv"), "CHostDrv Object");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Dravix.HostDrv\\CLSID"), "{615FAAA3-B515-4D4C-9F04-013D13FEB154}");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Dravix.HostDrv\\CurVer"), "Dravix.HostDrv.1");
    EXPECT_EQ(value(kClsKey), "CHostDrv Object");
    EXPECT_EQ(value(kClsKey, "AppID"), kLibId);
    EXPECT_EQ(value(kClsKey + "\\ProgID"), "Dravix.HostDrv.1");
    EXPECT_EQ(value(kClsKey + "\\VersionIndependentProgID"), "Dravix.HostDrv");
    EXPECT_EQ(reg::openKey(kClsKey + "\\Programmable"), 0);
    const std::string server = value(kClsKey + "\\InprocServer32");
    EXPECT_EQ(server.front(), '/');
    EXPECT_NE(server.find("libDravix.so"), std::string::npos);
    EXPECT_EQ(value(kClsKey + "\\InprocServer32", "ThreadingModel"), "apartment");
    EXPECT_EQ(value(kClsKey + "\\TypeLib"), kLibId);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\AppID\\" + kLibId), "Dravix");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\AppID\\Dravix.DLL", "AppID"), kLibId);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\TypeLib\\" + kLibId + "\\1.0"), "Dravix 1.0 Type Library");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\TypeLib\\" + kLibId + "\\1.0\\0\\win64"), server);
    const std::string itf = "HKEY_CLASSES_ROOT\\Interface\\{41487896-06E3-42ED-AA6A-25FC6E99C4FB}";
    EXPECT_EQ(value(itf), "IHostDrv");
    EXPECT_EQ(value(itf + "\\TypeLib"), kLibId);

    ASSERT_EQ(MirrorKit::com::registerServer(modulePath(), true), S_OK);
    for (const std::string& key :
         {std::string("HKEY_CLASSES_ROOT\\Dravix.HostDrv.1"), std::string("HKEY_CLASSES_ROOT\\Dravix.HostDrv"), kClsKey,
          "HKEY_CLASSES_ROOT\\AppID\\" + kLibId, std::string("HKEY_CLASSES_ROOT\\AppID\\Dravix.DLL"),
          "HKEY_CLASSES_ROOT\\TypeLib\\" + kLibId, itf})
        EXPECT_EQ(reg::openKey(key), ENOENT) << key;
    // The shared roots stay.
    EXPECT_EQ(reg::openKey("HKEY_CLASSES_ROOT\\CLSID"), 0);
    EXPECT_EQ(reg::openKey("HKEY_CLASSES_ROOT\\AppID"), 0);
    // Unregistering twice is harmless.
    EXPECT_EQ(MirrorKit::com::registerServer(modulePath(), true), S_OK);
}

TEST_F(DravixTest, UnregisteredClassCannotBeCreated) {
    ASSERT_EQ(MirrorKit::com::registerServer(modulePath(), true), S_OK);
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
}

TEST_F(DravixTest, InterfacesOfTheObject) {
    ASSERT_NE(create(), nullptr);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(host->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(host));  // dual: one vtable
    dispatch->Release();
    IUnknown* unknown = nullptr;
    ASSERT_EQ(host->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(host->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
}

// A controlling object that counts the references it is given.
struct Outer final : IUnknown {
    std::atomic<int> refs{1};
    STDMETHODIMP QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }
};

TEST_F(DravixTest, AggregationDelegatesToTheOuterObject) {
    Outer outer;
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_CHostDrv, &outer, CLSCTX_INPROC, IID_IUnknown, &object), S_OK);
    ASSERT_NE(object, nullptr);
    auto* inner = static_cast<IUnknown*>(object);
    IHostDrv* drv = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IHostDrv, reinterpret_cast<void**>(&drv)), S_OK);
    EXPECT_EQ(outer.refs, 2);  // the interface's reference went to the controlling object
    void* none = nullptr;
    EXPECT_EQ(drv->QueryInterface(IID_IHostDrv, &none), E_NOINTERFACE);  // asked of the outer object
    drv->Release();
    EXPECT_EQ(outer.refs, 1);
    EXPECT_EQ(inner->Release(), 0u);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_CHostDrv, CLSCTX_INPROC, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IHostDrv, &object), CLASS_E_NOAGGREGATION);
    factory->Release();
}

TEST_F(DravixTest, ModuleCanUnloadOnlyWithoutObjectsAndLocks) {
    ASSERT_NE(create(), nullptr);
    std::string error;
    void* module = MirrorKit::platform::loadLibrary(modulePath(), error);
    ASSERT_NE(module, nullptr) << error;
    auto canUnload = reinterpret_cast<PFN_DllCanUnloadNow>(MirrorKit::platform::resolveSymbol(module, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE);
    release();
    EXPECT_EQ(canUnload(), S_OK);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_CHostDrv, CLSCTX_INPROC, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->LockServer(TRUE);
    EXPECT_EQ(canUnload(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(canUnload(), S_OK);
    factory->Release();
    // Only the four server entry points are exported.
    EXPECT_EQ(MirrorKit::platform::resolveSymbol(module, "_ZN9MirrorKit6dravix8CHostDrvD1Ev"), nullptr);
    MirrorKit::platform::closeLibrary(module);
}

}  // namespace
}  // namespace DravixTests
