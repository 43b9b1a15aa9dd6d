// CHostDrv: the server object behind IHostDrv, owning the drive units, their stream buffers and the event threads.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "DeviceTable.h"
#include "UsbAccess.h"
#include "krv/dravix/IHostDrv.h"

namespace MirrorKit::dravix {

constexpr int kStreamBuffers = 32;
constexpr int kFramesPerBuffer = 8;
constexpr int kPolyFrameSize = 320;
constexpr int kPicoFrameSize = 64;
constexpr unsigned kStreamWaitMs = 5000;

// Live objects and server locks, for DllCanUnloadNow.
extern std::atomic<long> gServerRefs;

class CHostDrv final : public IHostDrv {
public:
    // outer: the controlling object when aggregated, else null.
    explicit CHostDrv(IUnknown* outer);
    ~CHostDrv();

    // The object's own IUnknown (the one an aggregating object holds).
    IUnknown* inner() { return &inner_; }
    bool ok() const { return bus_ && bus_->ok(); }

    // IUnknown, delegated to the controlling object.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override { return outer_->QueryInterface(riid, object); }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

    // IHostDrv
    STDMETHODIMP Dravix_GetStatus(LONG nDevId, LONG nStatId, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_SetControl(LONG nDevId, LONG nCntlId, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_SendFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_SetNotify(ULONG_PTR uWindow, UINT uMessageId) override;
    STDMETHODIMP Dravix_GetAvailableDevices(LONG* pDeviceIds, LONG nSizeBuff, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_StreamFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_StepFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_FlushStream(LONG nDevId, LONG* p_nStatus) override;
    STDMETHODIMP Dravix_StreamFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                           VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_StepFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                         VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_GetAvailableDevicesVar(VARIANT* pDeviceIdsVar, LONG nSizeBuff, VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_GetStatusVar(LONG nDevId, LONG nStatId, VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_SetControlVar(LONG nDevId, LONG nCntlId, VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_SendFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                         VARIANT* pStatusVar) override;
    STDMETHODIMP Dravix_FlushStreamVar(LONG nDevId, VARIANT* pStatusVar) override;

private:
    // The non-delegating IUnknown that owns the object's life.
    struct Inner final : IUnknown {
        CHostDrv* self;
        explicit Inner(CHostDrv* s) : self(s) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
    };

    // One asynchronous transfer of up to 8 frames.
    struct StreamBuffer {
        libusb_transfer* transfer = nullptr;
        uint8_t* data = nullptr;  // page-aligned, 8 frames of the largest size
        int length = 0;
        int slot = 0;
        bool inFlight = false;
        CHostDrv* owner = nullptr;
    };
    struct StreamSlot {
        int frameSize = kPolyFrameSize;
        int bufferIndex = 0;
        int frameCount = 0;
        int available = kStreamBuffers;  // counting semaphore: buffers that may be submitted
        int inFlight = 0;
        std::array<StreamBuffer, kStreamBuffers> buffers;
    };

    // Construction proper, and the teardown that the destructor and a failed construction share.
    void construct();
    void shutdown();
    static void LIBUSB_CALL streamCompleted(libusb_transfer* transfer);
    // The open device an id names (a slot, or a handle bound to one unit), opened lazily, and its slot; null when
    // the id names no usable unit. The device stays alive for the caller, who uses it without the table lock.
    std::shared_ptr<UsbDevice> target(LONG id, int& slot);
    // Claims the unit for this process before it is driven: 0, or the status to answer.
    LONG claimFor(int slot);
    // The status of a failed request on a device: no device once its unit has gone, else the given one.
    LONG failed(int slot, const UsbDevice& device, LONG status);
    // Waits for the stream transfers in flight (on one slot, or on all with slot -1); false on time-out.
    bool waitStreams(int slot, unsigned timeoutMs);
    void resetStreamCounters();
    // Device changes, handled on their own thread in the order they came.
    void deviceChanged(bool arrived);
    void changeLoop();

    Inner inner_{this};
    IUnknown* outer_;
    std::atomic<ULONG> refs_{1};

    // Taken shared by each stream call, whole by a flush and by construction and teardown.
    std::shared_mutex objectLock_;
    std::array<std::mutex, kSlotCount> streamLocks_;  // one stream call at a time per slot
    std::mutex notifyMutex_;        // the notification target; a post never blocks
    ULONG_PTR notifyWindow_ = 0;    // the server's own handle to the client's window (see holdWindow)
    UINT notifyMessage_ = 0;

    std::mutex streamMutex_;  // stream counters, semaphores and in-flight flags; taken by completions
    std::condition_variable streamChanged_;
    std::array<StreamSlot, kSlotCount> streams_;

    std::mutex changeMutex_;
    std::condition_variable changeSignal_;
    std::deque<bool> changes_;
    bool changeStop_ = false;
    std::thread changeThread_;

    std::unique_ptr<UsbBus> bus_;
    std::unique_ptr<DeviceTable> table_;
};

}  // namespace MirrorKit::dravix
