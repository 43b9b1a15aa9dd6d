// Scripted host-driver server for the back end's tests; registered in a test's registry store as CHostDrv.
#include "FakeHostDrv.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace MirrorKit::USB::fake {
namespace {

struct World {
    std::mutex lock;
    Slot slots[kDravixSlotCount];
    std::map<std::string, HRESULT> failures;
    std::vector<Call> calls;
    int created = 0;
    std::atomic<int> alive{0};
};

World& world() {
    static World* w = new World;
    return *w;
}

class FakeServer final : public IHostDrv {
public:
    FakeServer() {
        // Creation takes a while, as the real server's device scan does, so unguarded first opens would overlap.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ++world().alive;
    }
    ~FakeServer() { --world().alive; }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHostDrv) {
            *object = static_cast<IHostDrv*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    STDMETHODIMP Dravix_GetStatus(LONG dev, LONG id, LONG* status) override {
        World& w = world();
        std::lock_guard<std::mutex> guard(w.lock);
        if (HRESULT hr = enter(w, "Dravix_GetStatus", dev, id)) return hr;
        const Slot* s = slotOf(w, dev);
        if (!s) return *status = DRAVIX_NO_DEVICE, S_OK;
        switch (id) {
            case DRAVIX_STAT_NAME:
                if (s->nameStatus < 0)
                    *status = s->nameStatus;
                else
                    std::memcpy(status, s->name.data(), std::min<size_t>(s->name.size(), 255));
                break;
            case DRAVIX_STAT_VENDOR_ID: *status = s->vendorId; break;
            case DRAVIX_STAT_PRODUCT_ID: *status = s->productId; break;
            case DRAVIX_STAT_EEPROM_SIZE: *status = s->eepromSize; break;
            case DRAVIX_STAT_EXT_EEPROM: std::memset(status, 'E', 128); break;
            // Slots here never change units, so the slot itself names its unit for good.
            case DRAVIX_STAT_UNIT_HANDLE: *status = dev; break;
            case DRAVIX_STAT_SERIAL:
                if (s->serialStatus < 0)
                    *status = s->serialStatus;
                else
                    std::memcpy(status, s->serial.data(), std::min<size_t>(s->serial.size(), 11));
                break;
            default: *status = DRAVIX_INVALID;
        }
        return S_OK;
    }
    STDMETHODIMP Dravix_SetControl(LONG dev, LONG id, LONG* status) override {
        World& w = world();
        std::lock_guard<std::mutex> guard(w.lock);
        if (HRESULT hr = enter(w, "Dravix_SetControl", dev, id)) return hr;
        Slot* s = slotOf(w, dev);
        if (!s) return *status = DRAVIX_NO_DEVICE, S_OK;
        if (s->controlFailure != S_OK) return s->controlFailure;
        if (id == DRAVIX_CTL_WRITE_SERIAL) {
            const std::string serial(reinterpret_cast<const char*>(status));
            if (serial.size() != 11) return *status = DRAVIX_INVALID, S_OK;
            s->serial = serial;
        } else if (id < DRAVIX_CTL_PICO_MODE) {
            *status = s->controlStatus;
        }
        return S_OK;
    }
    STDMETHODIMP Dravix_SendFrameData(LONG dev, BYTE* data, LONG size, LONG* status) override {
        return Dravix_StepFrameData(dev, data, size, status);
    }
    STDMETHODIMP Dravix_SetNotify(ULONG_PTR, UINT) override { return S_OK; }
    STDMETHODIMP Dravix_GetAvailableDevices(LONG* ids, LONG size, LONG* status) override {
        World& w = world();
        std::lock_guard<std::mutex> guard(w.lock);
        if (HRESULT hr = enter(w, "Dravix_GetAvailableDevices", -1, size)) return hr;
        for (LONG i = 0; i < size; ++i) ids[i] = i < kDravixSlotCount && w.slots[i].present ? i : -1;
        *status = 0;
        return S_OK;
    }
    STDMETHODIMP Dravix_StreamFrameData(LONG, BYTE*, LONG, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_StepFrameData(LONG dev, BYTE* data, LONG size, LONG* status) override {
        World& w = world();
        std::lock_guard<std::mutex> guard(w.lock);
        if (HRESULT hr = enter(w, "Dravix_StepFrameData", dev, size)) return hr;
        w.calls.back().data.assign(data, data + size);
        const Slot* s = slotOf(w, dev);
        *status = s ? s->frameStatus : DRAVIX_NO_DEVICE;
        return S_OK;
    }
    STDMETHODIMP Dravix_FlushStream(LONG, LONG* status) override { return *status = 0, S_OK; }
    STDMETHODIMP Dravix_StreamFrameDataVar(LONG, VARIANT*, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_StepFrameDataVar(LONG, VARIANT*, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_GetAvailableDevicesVar(VARIANT*, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_GetStatusVar(LONG, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_SetControlVar(LONG, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_SendFrameDataVar(LONG, VARIANT*, LONG, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP Dravix_FlushStreamVar(LONG, VARIANT*) override { return E_NOTIMPL; }

private:
    // Records the call and answers an injected failure, if any.
    static HRESULT enter(World& w, const char* method, LONG dev, LONG id) {
        w.calls.push_back(Call{method, dev, id, {}});
        auto it = w.failures.find(method);
        return it == w.failures.end() ? S_OK : it->second;
    }
    static Slot* slotOf(World& w, LONG dev) {
        if (dev < 0 || dev >= kDravixSlotCount || !w.slots[dev].present) return nullptr;
        return &w.slots[dev];
    }

    std::atomic<ULONG> refs_{1};
};

class Factory final : public MirrorKit::com::StaticClassFactory {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* server = new FakeServer;
        {
            std::lock_guard<std::mutex> guard(world().lock);
            ++world().created;
        }
        const HRESULT hr = server->QueryInterface(riid, object);
        server->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

void reset() {
    World& w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    for (Slot& s : w.slots) s = Slot{};
    w.failures.clear();
    w.calls.clear();
    w.created = 0;
}

Slot& slot(int device) { return world().slots[device]; }

void failMethod(const std::string& method, HRESULT hr) {
    std::lock_guard<std::mutex> guard(world().lock);
    if (hr == S_OK)
        world().failures.erase(method);
    else
        world().failures[method] = hr;
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> guard(world().lock);
    return world().calls;
}

int objectsCreated() {
    std::lock_guard<std::mutex> guard(world().lock);
    return world().created;
}

int objectsAlive() { return world().alive; }

}  // namespace MirrorKit::USB::fake

extern "C" FAKE_HOSTDRV_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    static MirrorKit::USB::fake::Factory factory;
    if (!object) return E_POINTER;
    if (clsid != CLSID_CHostDrv) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, object);
}

extern "C" FAKE_HOSTDRV_API HRESULT DllCanUnloadNow() { return MirrorKit::USB::fake::objectsAlive() ? S_FALSE : S_OK; }
