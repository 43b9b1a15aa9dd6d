// Interface IHostDrv of the host-driver server Dravix (class CHostDrv): identifiers, status values and vtable.
//
// Clients reach the server only through COM: CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv,
// ...). Methods 1 to 8 always return S_OK and report their outcome through p_nStatus (DravixStatus values, or the
// item read). Slots (nDevId) are 0..31; a slot is opened lazily by the first call that names it. A slot keeps its
// unit while the unit stays on the bus and is then bound to another; DRAVIX_STAT_UNIT_HANDLE gives a device id
// bound to the unit itself, which answers DRAVIX_NO_DEVICE once that unit has left, whatever the slot holds then.
// A process claims a unit only when it first drives it (control lines, frames, serial number) and keeps it until
// DRAVIX_CTL_RELEASE; a unit another process holds answers DRAVIX_BUSY and is never reset.
#pragma once

#include "krv/platform/com.h"

// {0B17F235-D808-4A8B-82FB-F892607C1D55}
constexpr GUID LIBID_Dravix = {0x0B17F235, 0xD808, 0x4A8B, {0x82, 0xFB, 0xF8, 0x92, 0x60, 0x7C, 0x1D, 0x55}};
// {615FAAA3-B515-4D4C-9F04-013D13FEB154}
constexpr CLSID CLSID_CHostDrv = {0x615FAAA3, 0xB515, 0x4D4C, {0x9F, 0x04, 0x01, 0x3D, 0x13, 0xFE, 0xB1, 0x54}};
// {41487896-06E3-42ED-AA6A-25FC6E99C4FB}
constexpr IID IID_IHostDrv = {0x41487896, 0x06E3, 0x42ED, {0xAA, 0x6A, 0x25, 0xFC, 0x6E, 0x99, 0xC4, 0xFB}};

// Status values written to p_nStatus.
enum DravixStatus : LONG {
    DRAVIX_DONE = 0,
    DRAVIX_NO_DEVICE = -1,       // slot empty, wrong identity, or the device did not open
    DRAVIX_INVALID = -3,         // bad argument, or the vendor request failed
    DRAVIX_XFER_FAILED = -4,     // bulk transfer failed, or no stream buffer became free in time
    DRAVIX_BUSY = -5,            // another process holds the unit
};

// nStatId of Dravix_GetStatus.
enum DravixStatusId : LONG {
    DRAVIX_STAT_NAME = 0,          // friendly name, bytes without terminator, into a zeroed 256-byte buffer
    DRAVIX_STAT_VENDOR_ID = 1,
    DRAVIX_STAT_PRODUCT_ID = 2,
    DRAVIX_STAT_BIT0 = 3,
    DRAVIX_STAT_BIT1 = 4,
    DRAVIX_STAT_BIT2 = 5,
    DRAVIX_STAT_EEPROM_SIZE = 6,   // 0 or 128
    DRAVIX_STAT_EXT_EEPROM = 7,    // the 128-byte external EEPROM block into the buffer
    DRAVIX_STAT_SERIAL = 8,        // 11 characters, no terminator, into a zeroed buffer of at least 12 bytes
    DRAVIX_STAT_UNIT_HANDLE = 9,   // a device id bound to the unit the slot holds now (256 * n + 128 + slot)
};

// nCntlId of Dravix_SetControl: 0..9 set control lines, 10 selects Pico (64-byte frame) mode, 11 writes the
// serial-number block from the zero-terminated string that p_nStatus points to.
enum DravixControl : LONG {
    DRAVIX_CTL_PICO_MODE = 10,
    DRAVIX_CTL_WRITE_SERIAL = 11,
    DRAVIX_CTL_RELEASE = 12,     // gives the unit back to other processes (outputs are left as they are)
};

constexpr LONG kDravixSlotCount = 32;
constexpr USHORT kDravixVendorId = 0x1781;
constexpr USHORT kDravixProductId160 = 0x0ED8;  // 160 channels, 320-byte frames
constexpr USHORT kDravixProductId32 = 0x0ED9;   // 32 channels, 64-byte frames (Pico mode)

// Device-change notification posted to the window given to Dravix_SetNotify: wParam 1 on arrival, 0 on removal,
// lParam 0. The window is a handle of krv/platform/message.h.

// Dual interface: vtable slots 7..21 after IUnknown and IDispatch; DISPIDs 1..15 in the same order.
struct IHostDrv : public IDispatch {
    STDMETHOD(Dravix_GetStatus)(LONG nDevId, LONG nStatId, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_SetControl)(LONG nDevId, LONG nCntlId, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_SendFrameData)(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_SetNotify)(ULONG_PTR uWindow, UINT uMessageId) PURE;
    STDMETHOD(Dravix_GetAvailableDevices)(LONG* pDeviceIds, LONG nSizeBuff, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_StreamFrameData)(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_StepFrameData)(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_FlushStream)(LONG nDevId, LONG* p_nStatus) PURE;
    STDMETHOD(Dravix_StreamFrameDataVar)(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_StepFrameDataVar)(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_GetAvailableDevicesVar)(VARIANT* pDeviceIdsVar, LONG nSizeBuff, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_GetStatusVar)(LONG nDevId, LONG nStatId, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_SetControlVar)(LONG nDevId, LONG nCntlId, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_SendFrameDataVar)(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize, VARIANT* pStatusVar) PURE;
    STDMETHOD(Dravix_FlushStreamVar)(LONG nDevId, VARIANT* pStatusVar) PURE;

protected:
    ~IHostDrv() = default;
};

// DISPIDs of IHostDrv, for IDispatch::Invoke.
enum DravixDispId : DISPID {
    DISPID_Dravix_GetStatus = 1,
    DISPID_Dravix_SetControl,
    DISPID_Dravix_SendFrameData,
    DISPID_Dravix_SetNotify,
    DISPID_Dravix_GetAvailableDevices,
    DISPID_Dravix_StreamFrameData,
    DISPID_Dravix_StepFrameData,
    DISPID_Dravix_FlushStream,
    DISPID_Dravix_StreamFrameDataVar,
    DISPID_Dravix_StepFrameDataVar,
    DISPID_Dravix_GetAvailableDevicesVar,
    DISPID_Dravix_GetStatusVar,
    DISPID_Dravix_SetControlVar,
    DISPID_Dravix_SendFrameDataVar,
    DISPID_Dravix_FlushStreamVar,
};
