// Class activation through the registry store: registration, CoCreateInstance outcomes, apartments, unloading.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "TestServer.h"
#include "krv/platform/com.h"
#include "krv/platform/registry.h"

namespace {

// Counts the releases of one library handle (never null while watched), to see whether the activation layer lets a server go.
std::atomic<void*> gWatchedLibrary{nullptr};
std::atomic<int> gWatchedReleases{0};

}  // namespace

extern "C" int dlclose(void* handle) {
    static const auto real = reinterpret_cast<int (*)(void*)>(dlsym(RTLD_NEXT, "dlclose"));
    if (handle == gWatchedLibrary.load()) ++gWatchedReleases;
    return real(handle);
}

namespace {

namespace reg = MirrorKit::platform::registry;

std::string testServerPath() {
    const char* dir = std::getenv("KRV_TEST_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/tests/com_test_server.so";
}

// Each test gets a registry store of its own.
class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/krvcomXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("KRV_REGISTRY_FILE", (dir_ + "/registry.reg").c_str(), 1);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override {
        CoUninitialize();
        unsetenv("KRV_REGISTRY_FILE");
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_;
};

TEST_F(Activation, UnregisteredClassIsReported) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
}

TEST_F(Activation, RegisterCreateUseAndUnregister) {
    ASSERT_EQ(MirrorKit::com::registerServer(testServerPath(), false), S_OK);
    std::string recorded;
    ASSERT_EQ(reg::queryString(MirrorKit::com::classKey(CLSID_TestCounter) + "\\InprocServer32", "", recorded), 0);
    EXPECT_EQ(recorded.front(), '/');  // the module records its own absolute path
    EXPECT_NE(recorded.find("com_test_server.so"), std::string::npos);

    ITestCounter* counter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter,
                               reinterpret_cast<void**>(&counter)),
              S_OK);
    ASSERT_NE(counter, nullptr);
    LONG value = 0;
    EXPECT_EQ(counter->Increment(&value), S_OK);
    EXPECT_EQ(counter->Increment(&value), S_OK);
    EXPECT_EQ(value, 2);

    IUnknown* unknown = nullptr;
    EXPECT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(counter));
    unknown->Release();
    void* none = nullptr;
    EXPECT_EQ(counter->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);

    // A live object keeps its library loaded.
    CoFreeUnusedLibraries();
    EXPECT_EQ(counter->Increment(&value), S_OK);
    EXPECT_EQ(value, 3);
    counter->Release();
    CoFreeUnusedLibraries();

    ASSERT_EQ(MirrorKit::com::registerServer(testServerPath(), true), S_OK);
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object),
              REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, ServerStaysLoadedWhileItAnswersARequest) {
    ASSERT_EQ(MirrorKit::com::registerServer(testServerPath(), false), S_OK);
    CoFreeUnusedLibraries();
    int toServer[2], fromServer[2];
    ASSERT_EQ(pipe(toServer), 0);
    ASSERT_EQ(pipe(fromServer), 0);
    setenv("KRV_TEST_SERVER_GATE", (std::to_string(toServer[0]) + " " + std::to_string(fromServer[1])).c_str(), 1);
    // While the request waits inside the server, another thread frees the unused libraries. It holds a handle of
    // its own meanwhile, so that a server let go too early is still there to return to.
    int releasedDuringRequest = -1;
    std::thread other([&] {
        char byte = 0;
        if (read(fromServer[0], &byte, 1) != 1) return;
        void* library = dlopen(testServerPath().c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (library != nullptr) {
            gWatchedReleases = 0;
            gWatchedLibrary = library;
            CoFreeUnusedLibraries();
            gWatchedLibrary = nullptr;
            releasedDuringRequest = gWatchedReleases;
            dlclose(library);
        }
        (void)!write(toServer[1], &byte, 1);
    });
    IClassFactory* factory = nullptr;
    const HRESULT hr =
        CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    other.join();
    unsetenv("KRV_TEST_SERVER_GATE");
    for (int fd : {toServer[0], toServer[1], fromServer[0], fromServer[1]}) close(fd);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(releasedDuringRequest, 0);
    if (factory) factory->Release();
    CoFreeUnusedLibraries();
}

TEST_F(Activation, ServerAnswersArePassedOn) {
    ASSERT_EQ(MirrorKit::com::registerServer(testServerPath(), false), S_OK);
    void* object = nullptr;
    // The class does not aggregate; the outer object's request must ask for IUnknown.
    IUnknown* outer = reinterpret_cast<IUnknown*>(&object);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, outer, CLSCTX_INPROC, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, outer, CLSCTX_INPROC, IID_ITestCounter, &object), E_INVALIDARG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestCounter, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, nullptr), E_POINTER);
}

TEST_F(Activation, BrokenRegistrationsFailCleanly) {
    const std::string key = MirrorKit::com::classKey(CLSID_TestCounter) + "\\InprocServer32";
    void* object = nullptr;
    ASSERT_EQ(reg::setString(key, "", dir_ + "/missing.so"), 0);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    // A library that loads but is no server.
    ASSERT_EQ(reg::setString(key, "", "libm.so.6"), 0);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object), CO_E_ERRORINDLL);
    ASSERT_EQ(reg::setString(key, "", ""), 0);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(MirrorKit::com::registerServer(dir_ + "/missing.so", false), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(MirrorKit::com::registerServer("libm.so.6", false), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
}

TEST_F(Activation, TypeLibraryKeys) {
    const GUID libid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const MirrorKit::com::TypeLibInterface ifaces[] = {{IID_ITestCounter, "ITestCounter"}};
    const MirrorKit::com::TypeLibInfo info{libid, 1, 0, "Test 1.0 Type Library", ifaces, 1};
    ASSERT_EQ(reg::createKey("HKEY_CLASSES_ROOT\\TypeLib"), 0);
    ASSERT_EQ(MirrorKit::com::registerTypeLib(info, "/opt/kit/lib/libtest.so"), S_OK);
    const std::string lib = "HKEY_CLASSES_ROOT\\TypeLib\\{11111111-2222-3333-4444-555555555555}";
    std::string value;
    ASSERT_EQ(reg::queryString(lib + "\\1.0", "", value), 0);
    EXPECT_EQ(value, "Test 1.0 Type Library");
    ASSERT_EQ(reg::queryString(lib + "\\1.0\\0\\win64", "", value), 0);
    EXPECT_EQ(value, "/opt/kit/lib/libtest.so");
    ASSERT_EQ(reg::queryString(lib + "\\1.0\\HELPDIR", "", value), 0);
    EXPECT_EQ(value, "/opt/kit/lib");
    const std::string itf = "HKEY_CLASSES_ROOT\\Interface\\" + MirrorKit::com::guidToString(IID_ITestCounter);
    ASSERT_EQ(reg::queryString(itf + "\\TypeLib", "", value), 0);
    EXPECT_EQ(value, "{11111111-2222-3333-4444-555555555555}");
    ASSERT_EQ(reg::queryString(itf + "\\TypeLib", "Version", value), 0);
    EXPECT_EQ(value, "1.0");
    ASSERT_EQ(reg::queryString(itf + "\\ProxyStubClsid32", "", value), 0);
    EXPECT_EQ(value, "{00020424-0000-0000-C000-000000000046}");

    ASSERT_EQ(MirrorKit::com::unregisterTypeLib(info), S_OK);
    EXPECT_EQ(reg::openKey(lib), ENOENT);
    EXPECT_EQ(reg::openKey(itf), ENOENT);
    EXPECT_EQ(reg::openKey("HKEY_CLASSES_ROOT\\TypeLib"), 0);  // the shared root stays
}

TEST(Apartment, PerThreadCountingAndModel) {
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL, otherCreate = S_OK;
    std::thread t([&] {
        void* object = nullptr;
        otherCreate = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object);
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
    });
    t.join();
    EXPECT_EQ(otherCreate, CO_E_NOTINITIALIZED);  // each thread initialises for itself
    EXPECT_EQ(other, S_OK);
    CoUninitialize();
    CoUninitialize();
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC, IID_ITestCounter, &object),
              CO_E_NOTINITIALIZED);
}

}  // namespace
