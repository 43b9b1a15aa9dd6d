// BSTR, SAFEARRAY and VARIANT: allocation, locking and copying with the layouts of the automation originals.
#include <cstdlib>
#include <cstring>
#include <new>

#include "krv/platform/com.h"

namespace {

// The byte count sits in the 4 bytes before the characters, as clients may read it from there.
struct BstrHeader {
    uint32_t padding;  // keeps the characters 8-byte aligned
    uint32_t bytes;
};

BstrHeader* headerOf(BSTR text) { return reinterpret_cast<BstrHeader*>(reinterpret_cast<char*>(text) - sizeof(BstrHeader)); }

size_t olestrLength(const OLECHAR* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// The array's variant type is kept in the 4 bytes before the descriptor (FADF_HAVEVARTYPE), as on Windows.
struct ArrayAllocation {
    uint32_t padding;
    uint32_t vt;
    SAFEARRAY array;  // followed by cDims - 1 more bounds
};

size_t elementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

USHORT featuresFor(VARTYPE vt) {
    switch (vt) {
    case VT_BSTR: return FADF_BSTR;
    case VT_UNKNOWN: return FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_DISPATCH;
    case VT_VARIANT: return FADF_VARIANT;
    default: return 0;
    }
}

ArrayAllocation* allocationOf(SAFEARRAY* a) {
    return reinterpret_cast<ArrayAllocation*>(reinterpret_cast<char*>(a) - offsetof(ArrayAllocation, array));
}

size_t elementCount(const SAFEARRAY* a) {
    size_t n = 1;
    for (USHORT d = 0; d < a->cDims; ++d) n *= a->rgsabound[d].cElements;
    return n;
}

void releaseElements(SAFEARRAY* a) {
    size_t n = elementCount(a);
    if (a->pvData == nullptr) return;
    if (a->fFeatures & FADF_BSTR) {
        BSTR* p = static_cast<BSTR*>(a->pvData);
        for (size_t i = 0; i < n; ++i) SysFreeString(p[i]);
    } else if (a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown** p = static_cast<IUnknown**>(a->pvData);
        for (size_t i = 0; i < n; ++i)
            if (p[i]) p[i]->Release();
    } else if (a->fFeatures & FADF_VARIANT) {
        VARIANT* p = static_cast<VARIANT*>(a->pvData);
        for (size_t i = 0; i < n; ++i) VariantClear(&p[i]);
    }
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    size_t bytes = size_t(length) * sizeof(OLECHAR);
    if (bytes > 0x7FFFFFF0u) return nullptr;
    void* block = std::malloc(sizeof(BstrHeader) + bytes + sizeof(OLECHAR));
    if (block == nullptr) return nullptr;
    auto* header = static_cast<BstrHeader*>(block);
    header->padding = 0;
    header->bytes = uint32_t(bytes);
    BSTR chars = reinterpret_cast<BSTR>(header + 1);
    if (text != nullptr)
        std::memcpy(chars, text, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[length] = 0;
    return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, UINT(olestrLength(text)));
}

void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(headerOf(text));
}

UINT SysStringByteLen(BSTR text) { return text == nullptr ? 0 : headerOf(text)->bytes; }
UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) {
    size_t size = elementSize(vt);
    if (size == 0 || cDims == 0 || cDims > 0xFFFF || bounds == nullptr) return nullptr;
    size_t count = 1;
    for (UINT d = 0; d < cDims; ++d) {
        if (bounds[d].cElements != 0 && count > SIZE_MAX / 2 / bounds[d].cElements / size) return nullptr;
        count *= bounds[d].cElements;
    }
    size_t descriptor = sizeof(ArrayAllocation) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* alloc = static_cast<ArrayAllocation*>(std::calloc(1, descriptor));
    if (alloc == nullptr) return nullptr;
    alloc->vt = vt;
    SAFEARRAY* a = &alloc->array;
    a->cDims = USHORT(cDims);
    a->fFeatures = USHORT(featuresFor(vt) | FADF_HAVEVARTYPE);
    a->cbElements = ULONG(size);
    // The descriptor lists the rightmost dimension first, the reverse of the bounds argument.
    for (UINT d = 0; d < cDims; ++d) a->rgsabound[d] = bounds[cDims - 1 - d];
    a->pvData = std::calloc(count == 0 ? 1 : count, size);
    if (a->pvData == nullptr) {
        std::free(alloc);
        return nullptr;
    }
    return a;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
    SAFEARRAYBOUND bound{elements, lowerBound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* a) {
    if (a == nullptr) return S_OK;
    if (a->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    releaseElements(a);
    std::free(a->pvData);
    std::free(allocationOf(a));
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* a) {
    if (a == nullptr) return E_INVALIDARG;
    if (a->cLocks >= 0xFFFF) return E_UNEXPECTED;
    ++a->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* a) {
    if (a == nullptr) return E_INVALIDARG;
    if (a->cLocks == 0) return E_UNEXPECTED;
    --a->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* a, void** data) {
    if (a == nullptr || data == nullptr) return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(a);
    *data = SUCCEEDED(hr) ? a->pvData : nullptr;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* a) { return SafeArrayUnlock(a); }

HRESULT SafeArrayGetVartype(SAFEARRAY* a, VARTYPE* vt) {
    if (a == nullptr || vt == nullptr) return E_INVALIDARG;
    if (a->fFeatures & FADF_HAVEVARTYPE) {
        *vt = VARTYPE(allocationOf(a)->vt);
        return S_OK;
    }
    if (a->fFeatures & FADF_BSTR) *vt = VT_BSTR;
    else if (a->fFeatures & FADF_UNKNOWN) *vt = VT_UNKNOWN;
    else if (a->fFeatures & FADF_DISPATCH) *vt = VT_DISPATCH;
    else if (a->fFeatures & FADF_VARIANT) *vt = VT_VARIANT;
    else return E_INVALIDARG;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* a) { return a == nullptr ? 0 : a->cDims; }
UINT SafeArrayGetElemsize(SAFEARRAY* a) { return a == nullptr ? 0 : a->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* a, UINT dim, LONG* bound) {
    if (a == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dim == 0 || dim > a->cDims) return DISP_E_BADINDEX;
    *bound = a->rgsabound[a->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* a, UINT dim, LONG* bound) {
    if (a == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dim == 0 || dim > a->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = a->rgsabound[a->cDims - dim];
    *bound = LONG(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
    return S_OK;
}

SAFEARRAY* SafeArrayCopyKrv(SAFEARRAY* src) {
    if (src == nullptr) return nullptr;
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(src, &vt))) {
        // Arrays built by hand without a type: only plain element sizes can be copied.
        switch (src->cbElements) {
        case 1: vt = VT_UI1; break;
        case 2: vt = VT_UI2; break;
        case 4: vt = VT_UI4; break;
        case 8: vt = VT_UI8; break;
        default: return nullptr;
        }
    }
    SAFEARRAYBOUND bounds[64];
    if (src->cDims == 0 || src->cDims > 64) return nullptr;
    for (USHORT d = 0; d < src->cDims; ++d) bounds[d] = src->rgsabound[src->cDims - 1 - d];
    SAFEARRAY* dst = SafeArrayCreate(vt, src->cDims, bounds);
    if (dst == nullptr) return nullptr;
    size_t n = elementCount(src);
    if (vt == VT_BSTR) {
        BSTR* s = static_cast<BSTR*>(src->pvData);
        BSTR* d = static_cast<BSTR*>(dst->pvData);
        for (size_t i = 0; i < n; ++i) {
            if (s[i] == nullptr) continue;
            d[i] = SysAllocStringLen(s[i], SysStringLen(s[i]));
            if (d[i] == nullptr) {
                SafeArrayDestroy(dst);
                return nullptr;
            }
        }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown** s = static_cast<IUnknown**>(src->pvData);
        IUnknown** d = static_cast<IUnknown**>(dst->pvData);
        for (size_t i = 0; i < n; ++i)
            if ((d[i] = s[i]) != nullptr) d[i]->AddRef();
    } else if (vt == VT_VARIANT) {
        VARIANT* s = static_cast<VARIANT*>(src->pvData);
        VARIANT* d = static_cast<VARIANT*>(dst->pvData);
        for (size_t i = 0; i < n; ++i)
            if (FAILED(VariantCopy(&d[i], &s[i]))) {
                SafeArrayDestroy(dst);
                return nullptr;
            }
    } else if (n > 0) {
        std::memcpy(dst->pvData, src->pvData, n * src->cbElements);
    }
    return dst;
}

void VariantInit(VARIANT* v) {
    if (v == nullptr) return;
    std::memset(v, 0, sizeof(*v));
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) return E_INVALIDARG;
    if (!(v->vt & VT_BYREF)) {
        if (v->vt & VT_ARRAY) {
            if (v->parray != nullptr) {
                HRESULT hr = SafeArrayDestroy(v->parray);
                if (FAILED(hr)) return hr;
            }
        } else {
            switch (v->vt & VT_TYPEMASK) {
            case VT_BSTR: SysFreeString(v->bstrVal); break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                if (v->punkVal) v->punkVal->Release();
                break;
            default: break;
            }
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (dest == src) return S_OK;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    VARIANT copy = *src;
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            if (src->parray != nullptr && (copy.parray = SafeArrayCopyKrv(src->parray)) == nullptr) return E_OUTOFMEMORY;
        } else if ((src->vt & VT_TYPEMASK) == VT_BSTR) {
            if (src->bstrVal != nullptr &&
                (copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal))) == nullptr)
                return E_OUTOFMEMORY;
        } else if ((src->vt & VT_TYPEMASK) == VT_UNKNOWN || (src->vt & VT_TYPEMASK) == VT_DISPATCH) {
            if (copy.punkVal) copy.punkVal->AddRef();
        }
    }
    *dest = copy;
    return S_OK;
}
