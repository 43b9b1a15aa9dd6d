// The automation side of CHostDrv: the VARIANT forms of the methods and IDispatch dispatching by DISPID.
#include <cstring>

#include "HostDrv.h"

namespace MirrorKit::dravix {

namespace {

constexpr VARTYPE kLongArray = VT_ARRAY | VT_I4;

// The array a status or id argument carries, or null when the argument is not a LONG array.
SAFEARRAY* longArray(VARIANT* v) {
    if (v == nullptr || v->vt != kLongArray || v->parray == nullptr) return nullptr;
    return v->parray;
}

// Frame data may come as any array, directly or by reference.
SAFEARRAY* anyArray(VARIANT* v) {
    if (v == nullptr || !(v->vt & VT_ARRAY)) return nullptr;
    if (v->vt & VT_BYREF) return v->pparray != nullptr ? *v->pparray : nullptr;
    return v->parray;
}

size_t arrayBytes(SAFEARRAY* a) {
    size_t n = a->cbElements;
    for (USHORT d = 0; d < a->cDims; ++d) n *= a->rgsabound[d].cElements;
    return n;
}

// Locks the arrays for the time of one call and unlocks them whatever happens.
class ArrayAccess {
public:
    HRESULT add(SAFEARRAY* a, void** data) {
        HRESULT hr = SafeArrayAccessData(a, data);
        if (SUCCEEDED(hr)) locked_[count_++] = a;
        return hr;
    }
    HRESULT release() {
        HRESULT hr = S_OK;
        while (count_ > 0) hr = SafeArrayUnaccessData(locked_[--count_]);
        return hr;
    }
    ~ArrayAccess() { release(); }

private:
    SAFEARRAY* locked_[2] = {};
    int count_ = 0;
};

bool slotInRange(LONG nDevId) { return nDevId >= 0 && nDevId < kSlotCount; }

}  // namespace

// Common path of the three frame methods: 9 and 10 and 14.
#define FRAME_VAR_BODY(plainMethod)                                                                             \
    if (!slotInRange(nDevId)) return E_INVALIDARG;                                                              \
    SAFEARRAY* status = longArray(pStatusVar);                                                                  \
    SAFEARRAY* frame = anyArray(pFrameDataVar);                                                                 \
    if (status == nullptr || frame == nullptr || arrayBytes(status) < sizeof(LONG) || nBuffSize < 0 ||          \
        size_t(nBuffSize) > arrayBytes(frame))                                                                  \
        return E_INVALIDARG;                                                                                    \
    ArrayAccess access;                                                                                         \
    void* statusData = nullptr;                                                                                 \
    void* frameData = nullptr;                                                                                  \
    if (FAILED(access.add(status, &statusData)) || FAILED(access.add(frame, &frameData))) return S_FALSE;       \
    HRESULT hr = plainMethod(nDevId, static_cast<BYTE*>(frameData), nBuffSize, static_cast<LONG*>(statusData)); \
    if (FAILED(hr)) return hr;                                                                                  \
    access.release();                                                                                           \
    return S_OK;

STDMETHODIMP CHostDrv::Dravix_StreamFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                                 VARIANT* pStatusVar) {
    FRAME_VAR_BODY(Dravix_StreamFrameData)
}

STDMETHODIMP CHostDrv::Dravix_StepFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                               VARIANT* pStatusVar) {
    FRAME_VAR_BODY(Dravix_StepFrameData)
}

STDMETHODIMP CHostDrv::Dravix_SendFrameDataVar(LONG nDevId, VARIANT* pFrameDataVar, LONG nBuffSize,
                                               VARIANT* pStatusVar) {
    FRAME_VAR_BODY(Dravix_SendFrameData)
}

#undef FRAME_VAR_BODY

STDMETHODIMP CHostDrv::Dravix_GetAvailableDevicesVar(VARIANT* pDeviceIdsVar, LONG nSizeBuff, VARIANT* pStatusVar) {
    SAFEARRAY* ids = longArray(pDeviceIdsVar);
    SAFEARRAY* status = longArray(pStatusVar);
    if (ids == nullptr || status == nullptr || arrayBytes(status) < sizeof(LONG) ||
        (nSizeBuff > 0 && size_t(nSizeBuff) > arrayBytes(ids) / sizeof(LONG)))
        return E_INVALIDARG;
    ArrayAccess access;
    void* idData = nullptr;
    void* statusData = nullptr;
    HRESULT hr = access.add(ids, &idData);
    if (FAILED(hr)) return hr;
    hr = access.add(status, &statusData);
    if (FAILED(hr)) return hr;
    hr = Dravix_GetAvailableDevices(static_cast<LONG*>(idData), nSizeBuff, static_cast<LONG*>(statusData));
    if (FAILED(hr)) return hr;
    return access.release();
}

STDMETHODIMP CHostDrv::Dravix_GetStatusVar(LONG nDevId, LONG nStatId, VARIANT* pStatusVar) {
    if (!slotInRange(nDevId) || pStatusVar == nullptr) return E_INVALIDARG;
    if (nStatId == DRAVIX_STAT_NAME) {
        if (pStatusVar->vt != VT_BSTR || SysStringLen(pStatusVar->bstrVal) < 50) return E_INVALIDARG;
        LONG name[64] = {};  // 256 bytes, as the plain method expects
        HRESULT hr = Dravix_GetStatus(nDevId, nStatId, name);
        if (FAILED(hr)) return hr;
        const char* bytes = reinterpret_cast<const char*>(name);
        const size_t length = strnlen(bytes, 127);
        const size_t room = SysStringLen(pStatusVar->bstrVal);
        for (size_t i = 0; i < length && i < room; ++i)
            pStatusVar->bstrVal[i] = OLECHAR(int16_t(static_cast<signed char>(bytes[i])));
        return S_OK;
    }
    SAFEARRAY* status = longArray(pStatusVar);
    if (status == nullptr) return E_INVALIDARG;
    // Items 7 and 8 write 128 and 11 bytes into the array.
    const size_t needed = nStatId == DRAVIX_STAT_EXT_EEPROM ? 128 : nStatId == DRAVIX_STAT_SERIAL ? 12 : sizeof(LONG);
    if (arrayBytes(status) < needed) return E_INVALIDARG;
    ArrayAccess access;
    void* data = nullptr;
    if (FAILED(access.add(status, &data))) return S_FALSE;
    HRESULT hr = Dravix_GetStatus(nDevId, nStatId, static_cast<LONG*>(data));
    if (FAILED(hr)) return hr;
    access.release();
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_SetControlVar(LONG nDevId, LONG nCntlId, VARIANT* pStatusVar) {
    if (!slotInRange(nDevId)) return E_INVALIDARG;
    SAFEARRAY* status = longArray(pStatusVar);
    // Code 11 reads a serial number of 11 characters and its terminator from the array.
    const size_t needed = nCntlId == DRAVIX_CTL_WRITE_SERIAL ? 12 : sizeof(LONG);
    if (status == nullptr || arrayBytes(status) < needed) return E_INVALIDARG;
    ArrayAccess access;
    void* data = nullptr;
    if (FAILED(access.add(status, &data))) return S_FALSE;
    HRESULT hr = Dravix_SetControl(nDevId, nCntlId, static_cast<LONG*>(data));
    if (FAILED(hr)) return hr;
    access.release();
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_FlushStreamVar(LONG nDevId, VARIANT* pStatusVar) {
    if (!slotInRange(nDevId)) return E_INVALIDARG;
    SAFEARRAY* status = longArray(pStatusVar);
    if (status == nullptr || arrayBytes(status) < sizeof(LONG)) return E_INVALIDARG;
    ArrayAccess access;
    void* data = nullptr;
    if (FAILED(access.add(status, &data))) return S_FALSE;
    HRESULT hr = Dravix_FlushStream(nDevId, static_cast<LONG*>(data));
    if (FAILED(hr)) return hr;
    access.release();
    return S_OK;
}

// ---- IDispatch -----------------------------------------------------------------------------------------------------

namespace {

struct MethodInfo {
    const char* name;
    UINT params;
};
// In DISPID order, 1..15.
const MethodInfo kMethods[] = {
    {"Dravix_GetStatus", 3},           {"Dravix_SetControl", 3},          {"Dravix_SendFrameData", 4},
    {"Dravix_SetNotify", 2},           {"Dravix_GetAvailableDevices", 3}, {"Dravix_StreamFrameData", 4},
    {"Dravix_StepFrameData", 4},       {"Dravix_FlushStream", 2},         {"Dravix_StreamFrameDataVar", 4},
    {"Dravix_StepFrameDataVar", 4},    {"Dravix_GetAvailableDevicesVar", 3}, {"Dravix_GetStatusVar", 3},
    {"Dravix_SetControlVar", 3},       {"Dravix_SendFrameDataVar", 4},    {"Dravix_FlushStreamVar", 2},
};
constexpr DISPID kMethodCount = DISPID(sizeof kMethods / sizeof kMethods[0]);
static_assert(kMethodCount == 15, "IHostDrv has 15 methods");

bool sameName(const OLECHAR* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        OLECHAR x = *a, y = OLECHAR(static_cast<unsigned char>(*b));
        if (x >= u'A' && x <= u'Z') x = OLECHAR(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z') y = OLECHAR(y - u'A' + u'a');
        if (x != y) return false;
    }
    return *a == 0 && *b == 0;
}

// Argument conversion for Invoke; arguments arrive last first.
class Arguments {
public:
    Arguments(DISPPARAMS* p, UINT* argError) : p_(p), argError_(argError) {}
    VARIANT* at(UINT k) { return &p_->rgvarg[p_->cArgs - 1 - k]; }
    void fail(UINT k) {
        if (argError_ != nullptr) *argError_ = p_->cArgs - 1 - k;
    }
    bool integer(UINT k, int64_t& out) {
        VARIANT* v = at(k);
        VARTYPE vt = v->vt;
        const bool ref = (vt & VT_BYREF) != 0;
        switch (vt & ~VT_BYREF) {
        case VT_I1: out = ref ? *static_cast<signed char*>(v->byref) : v->cVal; return true;
        case VT_UI1: out = ref ? *v->pbVal : v->bVal; return true;
        case VT_I2: out = ref ? *v->piVal : v->iVal; return true;
        case VT_UI2: out = ref ? *static_cast<USHORT*>(v->byref) : v->uiVal; return true;
        case VT_I4: case VT_INT: out = ref ? *v->plVal : v->lVal; return true;
        case VT_UI4: case VT_UINT: out = ref ? *static_cast<ULONG*>(v->byref) : v->ulVal; return true;
        case VT_I8: out = ref ? *v->pllVal : v->llVal; return true;
        case VT_UI8: out = int64_t(ref ? *static_cast<ULONGLONG*>(v->byref) : v->ullVal); return true;
        default: fail(k); return false;
        }
    }
    bool longValue(UINT k, LONG& out) {
        int64_t x = 0;
        if (!integer(k, x)) return false;
        if (x < INT32_MIN || x > INT32_MAX) {
            fail(k);
            return false;
        }
        out = LONG(x);
        return true;
    }
    // A LONG passed by reference.
    LONG* longRef(UINT k) {
        VARIANT* v = at(k);
        if (v->vt == (VT_BYREF | VT_I4) && v->plVal != nullptr) return v->plVal;
        fail(k);
        return nullptr;
    }
    // A byte buffer: a byte by reference (bounded to one byte unless more is known) or an array.
    BYTE* bytes(UINT k, size_t& capacity, SAFEARRAY*& array) {
        VARIANT* v = at(k);
        array = nullptr;
        if (v->vt == (VT_BYREF | VT_UI1) && v->pbVal != nullptr) {
            capacity = 1;
            return v->pbVal;
        }
        if (v->vt & VT_ARRAY) {
            array = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
            if (array != nullptr) {
                capacity = arrayBytes(array);
                return static_cast<BYTE*>(array->pvData);
            }
        }
        fail(k);
        return nullptr;
    }
    VARIANT* variant(UINT k) {
        VARIANT* v = at(k);
        if (v->vt == (VT_BYREF | VT_VARIANT)) return v->pvarVal;
        return v;
    }

private:
    DISPPARAMS* p_;
    UINT* argError_;
};

}  // namespace

STDMETHODIMP CHostDrv::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_INVALIDARG;
    *count = 0;  // the type library lives only as its registry keys
    return S_OK;
}

STDMETHODIMP CHostDrv::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CHostDrv::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    // Only the member name is known; parameter names are not.
    for (DISPID d = 0; d < kMethodCount; ++d)
        if (names[0] != nullptr && sameName(names[0], kMethods[d].name)) {
            ids[0] = d + 1;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP CHostDrv::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* argError) {
    if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < 1 || id > kMethodCount || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr) return E_INVALIDARG;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != kMethods[id - 1].params) return DISP_E_BADPARAMCOUNT;
    if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
    if (result != nullptr) VariantInit(result);

    Arguments args(params, argError);
    HRESULT hr = S_OK;
    // A single LONG by reference cannot hold a device name, an EEPROM block or a serial number: the plain
    // methods write into a 256-byte buffer, whose first LONG is handed back.
    LONG buffer[64] = {};
    auto withStatus = [&](UINT k, auto&& call) -> HRESULT {
        LONG* target = args.longRef(k);
        if (target == nullptr) return DISP_E_TYPEMISMATCH;
        buffer[0] = *target;
        HRESULT r = call(buffer);
        *target = buffer[0];
        return r;
    };
    LONG a = 0, b = 0;
    switch (id) {
    case DISPID_Dravix_GetStatus:
    case DISPID_Dravix_SetControl:
        if (!args.longValue(0, a) || !args.longValue(1, b)) return DISP_E_TYPEMISMATCH;
        hr = withStatus(2, [&](LONG* s) {
            return id == DISPID_Dravix_GetStatus ? Dravix_GetStatus(a, b, s) : Dravix_SetControl(a, b, s);
        });
        break;
    case DISPID_Dravix_SendFrameData:
    case DISPID_Dravix_StreamFrameData:
    case DISPID_Dravix_StepFrameData: {
        size_t capacity = 0;
        SAFEARRAY* array = nullptr;
        if (!args.longValue(0, a)) return DISP_E_TYPEMISMATCH;
        BYTE* data = args.bytes(1, capacity, array);
        if (data == nullptr || !args.longValue(2, b)) return DISP_E_TYPEMISMATCH;
        if (b < 0 || size_t(b) > capacity) {
            args.fail(2);
            return E_INVALIDARG;
        }
        hr = withStatus(3, [&](LONG* s) {
            if (id == DISPID_Dravix_SendFrameData) return Dravix_SendFrameData(a, data, b, s);
            if (id == DISPID_Dravix_StreamFrameData) return Dravix_StreamFrameData(a, data, b, s);
            return Dravix_StepFrameData(a, data, b, s);
        });
        break;
    }
    case DISPID_Dravix_SetNotify: {
        int64_t window = 0, message = 0;
        if (!args.integer(0, window) || !args.integer(1, message)) return DISP_E_TYPEMISMATCH;
        hr = Dravix_SetNotify(ULONG_PTR(window), UINT(message));
        break;
    }
    case DISPID_Dravix_GetAvailableDevices: {
        VARIANT* v = args.at(0);
        LONG* ids = nullptr;
        size_t capacity = 0;
        if (v->vt == (VT_BYREF | VT_I4) && v->plVal != nullptr) {
            ids = v->plVal;
            capacity = 1;
        } else if (SAFEARRAY* array = longArray(v)) {
            ids = static_cast<LONG*>(array->pvData);
            capacity = arrayBytes(array) / sizeof(LONG);
        } else {
            args.fail(0);
            return DISP_E_TYPEMISMATCH;
        }
        if (!args.longValue(1, a)) return DISP_E_TYPEMISMATCH;
        if (a > 0 && size_t(a) > capacity) {
            args.fail(1);
            return E_INVALIDARG;
        }
        hr = withStatus(2, [&](LONG* s) { return Dravix_GetAvailableDevices(ids, a, s); });
        break;
    }
    case DISPID_Dravix_FlushStream:
        if (!args.longValue(0, a)) return DISP_E_TYPEMISMATCH;
        hr = withStatus(1, [&](LONG* s) { return Dravix_FlushStream(a, s); });
        break;
    case DISPID_Dravix_StreamFrameDataVar:
    case DISPID_Dravix_StepFrameDataVar:
    case DISPID_Dravix_SendFrameDataVar:
        if (!args.longValue(0, a) || !args.longValue(2, b)) return DISP_E_TYPEMISMATCH;
        if (id == DISPID_Dravix_StreamFrameDataVar)
            hr = Dravix_StreamFrameDataVar(a, args.variant(1), b, args.variant(3));
        else if (id == DISPID_Dravix_StepFrameDataVar)
            hr = Dravix_StepFrameDataVar(a, args.variant(1), b, args.variant(3));
        else
            hr = Dravix_SendFrameDataVar(a, args.variant(1), b, args.variant(3));
        break;
    case DISPID_Dravix_GetAvailableDevicesVar:
        if (!args.longValue(1, a)) return DISP_E_TYPEMISMATCH;
        hr = Dravix_GetAvailableDevicesVar(args.variant(0), a, args.variant(2));
        break;
    case DISPID_Dravix_GetStatusVar:
    case DISPID_Dravix_SetControlVar:
        if (!args.longValue(0, a) || !args.longValue(1, b)) return DISP_E_TYPEMISMATCH;
        hr = id == DISPID_Dravix_GetStatusVar ? Dravix_GetStatusVar(a, b, args.variant(2))
                                              : Dravix_SetControlVar(a, b, args.variant(2));
        break;
    case DISPID_Dravix_FlushStreamVar:
        if (!args.longValue(0, a)) return DISP_E_TYPEMISMATCH;
        hr = Dravix_FlushStreamVar(a, args.variant(1));
        break;
    default: return DISP_E_MEMBERNOTFOUND;
    }
    if (FAILED(hr)) {
        if (exception != nullptr) {
            std::memset(exception, 0, sizeof *exception);
            exception->scode = hr;
        }
        return DISP_E_EXCEPTION;
    }
    return hr;
}

}  // namespace MirrorKit::dravix
