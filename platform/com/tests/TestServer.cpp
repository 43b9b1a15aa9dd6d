// A minimal in-process server: one class with a counter, a factory, and self-registration.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "TestServer.h"
#include "krv/platform/registry.h"

#define TESTAPI extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> gObjects{0};
std::atomic<int> gLocks{0};

class Counter final : public ITestCounter {
public:
    Counter() { ++gObjects; }
    ~Counter() { --gObjects; }
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITestCounter) {
            *object = static_cast<ITestCounter*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG r = --refs_;
        if (r == 0) delete this;
        return r;
    }
    STDMETHODIMP Increment(LONG* value) override {
        if (value == nullptr) return E_POINTER;
        *value = ++count_;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    LONG count_ = 0;
};

class Factory final : public MirrorKit::com::StaticClassFactory {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* counter = new Counter();
        HRESULT hr = counter->QueryInterface(riid, object);
        counter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        gLocks += lock ? 1 : -1;
        return S_OK;
    }
};

Factory gFactory;

// With KRV_TEST_SERVER_GATE set to "<in> <out>" (two descriptors), a class object request first writes one byte
// to out and then waits for one byte on in, so that a test can act while the request is in progress.
void passGate() {
    const char* gate = std::getenv("KRV_TEST_SERVER_GATE");
    int in = -1, out = -1;
    if (gate == nullptr || std::sscanf(gate, "%d %d", &in, &out) != 2) return;
    char byte = 0;
    if (write(out, &byte, 1) == 1) (void)!read(in, &byte, 1);
}

}  // namespace

TESTAPI HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    passGate();
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
    return gFactory.QueryInterface(riid, object);
}

TESTAPI HRESULT DllCanUnloadNow() { return gObjects == 0 && gLocks == 0 ? S_OK : S_FALSE; }

TESTAPI HRESULT DllRegisterServer() {
    std::string path = MirrorKit::com::modulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    std::string key = MirrorKit::com::classKey(CLSID_TestCounter);
    if (path.empty() || MirrorKit::platform::registry::setString(key + "\\InprocServer32", "", path) != 0)
        return SELFREG_E_CLASS;
    return S_OK;
}

TESTAPI HRESULT DllUnregisterServer() {
    return MirrorKit::platform::registry::deleteTree(MirrorKit::com::classKey(CLSID_TestCounter)) == 0 ? S_OK
                                                                                                        : SELFREG_E_CLASS;
}

// Lets the tests see whether the library they loaded holds live objects.
TESTAPI int TestServerObjectCount() { return gObjects; }
