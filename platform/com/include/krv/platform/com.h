// COM-style object runtime: interface conventions, result codes, GUID, BSTR, VARIANT, SAFEARRAY and class activation.
//
// The types keep the binary layout and names of the Windows originals so that servers and clients written against
// them read as ordinary COM code. Interfaces are pure virtual C++ classes whose vtable order is the declaration order.
//
// Activation: CoCreateInstance looks the class up in the registry store (krv/platform/registry.h) under
// "HKEY_CLASSES_ROOT\\CLSID\\{clsid}\\InprocServer32" (default value: the library path), loads the library once per
// process, calls its DllGetClassObject for IClassFactory and asks the factory for the object. Libraries stay loaded
// until CoFreeUnusedLibraries finds that their DllCanUnloadNow answers S_OK.
//
// Apartments are only counted: CoInitializeEx must be called on a thread before it creates objects, but interface
// pointers are used directly from any thread (every server of the kit is in-process and does its own locking).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Scalar types --------------------------------------------------------------------------------------------------

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef uint32_t LCID;
typedef int32_t DISPID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
// Pointer to the first character of a length-prefixed, zero-terminated UTF-16 string (see SysAllocString).
typedef OLECHAR* BSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// Calling conventions and method declaration helpers, empty on this platform.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define STDMETHOD_(type, name) virtual type STDMETHODCALLTYPE name
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

static_assert(sizeof(LONG) == 4 && sizeof(ULONG_PTR) == 8, "LP64 platform expected");

// ---- Result codes --------------------------------------------------------------------------------------------------

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = (HRESULT)0x80004001u;
constexpr HRESULT E_NOINTERFACE = (HRESULT)0x80004002u;
constexpr HRESULT E_POINTER = (HRESULT)0x80004003u;
constexpr HRESULT E_ABORT = (HRESULT)0x80004004u;
constexpr HRESULT E_FAIL = (HRESULT)0x80004005u;
constexpr HRESULT E_UNEXPECTED = (HRESULT)0x8000FFFFu;
constexpr HRESULT E_ACCESSDENIED = (HRESULT)0x80070005u;
constexpr HRESULT E_HANDLE = (HRESULT)0x80070006u;
constexpr HRESULT E_OUTOFMEMORY = (HRESULT)0x8007000Eu;
constexpr HRESULT E_INVALIDARG = (HRESULT)0x80070057u;
constexpr HRESULT CLASS_E_NOAGGREGATION = (HRESULT)0x80040110u;
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = (HRESULT)0x80040111u;
constexpr HRESULT REGDB_E_READREGDB = (HRESULT)0x80040150u;
constexpr HRESULT REGDB_E_WRITEREGDB = (HRESULT)0x80040151u;
constexpr HRESULT REGDB_E_CLASSNOTREG = (HRESULT)0x80040154u;
constexpr HRESULT CO_E_NOTINITIALIZED = (HRESULT)0x800401F0u;
constexpr HRESULT CO_E_DLLNOTFOUND = (HRESULT)0x800401F8u;
constexpr HRESULT CO_E_ERRORINDLL = (HRESULT)0x800401F9u;
constexpr HRESULT RPC_E_CHANGED_MODE = (HRESULT)0x80010106u;
constexpr HRESULT SELFREG_E_TYPELIB = (HRESULT)0x80040200u;
constexpr HRESULT SELFREG_E_CLASS = (HRESULT)0x80040201u;
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = (HRESULT)0x80020001u;
constexpr HRESULT DISP_E_MEMBERNOTFOUND = (HRESULT)0x80020003u;
constexpr HRESULT DISP_E_PARAMNOTFOUND = (HRESULT)0x80020004u;
constexpr HRESULT DISP_E_TYPEMISMATCH = (HRESULT)0x80020005u;
constexpr HRESULT DISP_E_UNKNOWNNAME = (HRESULT)0x80020006u;
constexpr HRESULT DISP_E_NONAMEDARGS = (HRESULT)0x80020007u;
constexpr HRESULT DISP_E_BADVARTYPE = (HRESULT)0x80020008u;
constexpr HRESULT DISP_E_EXCEPTION = (HRESULT)0x80020009u;
constexpr HRESULT DISP_E_BADINDEX = (HRESULT)0x8002000Bu;
constexpr HRESULT DISP_E_ARRAYISLOCKED = (HRESULT)0x8002000Du;
constexpr HRESULT DISP_E_BADPARAMCOUNT = (HRESULT)0x8002000Eu;
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = (HRESULT)0x8002000Fu;
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = (HRESULT)0x8002802Bu;
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = (HRESULT)0x8002801Du;

// A Win32 error number as an HRESULT (facility 7); 0 stays S_OK.
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t error) {
    return error == 0 || (int32_t)error < 0 ? (HRESULT)error : (HRESULT)((error & 0xFFFFu) | 0x80070000u);
}
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_MOD_NOT_FOUND = 126;
constexpr uint32_t ERROR_PROC_NOT_FOUND = 127;
constexpr uint32_t ERROR_NOT_FOUND = 1168;

// ---- GUID ----------------------------------------------------------------------------------------------------------

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID layout");
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// The automation marshaller's class, recorded as ProxyStubClsid32 of dual interfaces.
constexpr CLSID CLSID_PSOAInterface = {0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// ---- Strings: BSTR -------------------------------------------------------------------------------------------------
// A BSTR is preceded by a 32-bit byte count and followed by a zero code unit; null is the empty string.

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be null: the characters are then zero
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);      // characters, without the terminator
UINT SysStringByteLen(BSTR text);  // bytes, without the terminator

// ---- SAFEARRAY -----------------------------------------------------------------------------------------------------

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];  // cDims entries, the rightmost dimension first
};
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24,
              "SAFEARRAY layout");

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;

// The variant type is kept with the array so SafeArrayGetVartype can answer. Element types handled: the fixed-size
// scalars, VT_BSTR, VT_UNKNOWN, VT_DISPATCH and VT_VARIANT (their elements are freed with the array).
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
HRESULT SafeArrayDestroy(SAFEARRAY* array);  // DISP_E_ARRAYISLOCKED while locked
HRESULT SafeArrayLock(SAFEARRAY* array);     // E_UNEXPECTED when the lock count would overflow
HRESULT SafeArrayUnlock(SAFEARRAY* array);   // E_UNEXPECTED when not locked
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);  // locks, then gives pvData
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);  // dim counts from 1, leftmost first
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);

// ---- VARIANT -------------------------------------------------------------------------------------------------------

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

struct IUnknown;
struct IDispatch;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        BYTE bVal;
        char cVal;
        SHORT iVal;
        USHORT uiVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        DOUBLE* pdblVal;
        BSTR* pbstrVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } record;  // not supported; keeps the union at its Windows size
    };
};
typedef VARIANT VARIANTARG;
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8, "VARIANT layout");

void VariantInit(VARIANT* v);
// Frees what the variant owns (BSTR, array, interface reference) and leaves it VT_EMPTY. By-reference values are
// not owned.
HRESULT VariantClear(VARIANT* v);
// Deep copy: BSTRs and arrays are duplicated, interfaces AddRef'ed.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
SAFEARRAY* SafeArrayCopyKrv(SAFEARRAY* src);  // deep copy used by VariantCopy; null on failure

// ---- Interfaces ----------------------------------------------------------------------------------------------------

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** object) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;

protected:
    ~IUnknown() = default;  // objects die through Release
};

struct ITypeInfo;  // never provided: servers answer GetTypeInfoCount with 0

struct DISPPARAMS {
    VARIANTARG* rgvarg;  // arguments in reverse order: the last parameter first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT(STDAPICALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
    HRESULT scode;
};

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
constexpr DISPID DISPID_UNKNOWN = -1;

struct IDispatch : public IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* count) PURE;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** info) PURE;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) PURE;
    STDMETHOD(Invoke)(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) PURE;

protected:
    ~IDispatch() = default;
};

struct IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** object) PURE;
    STDMETHOD(LockServer)(BOOL lock) PURE;

protected:
    ~IClassFactory() = default;
};

// ---- Activation ----------------------------------------------------------------------------------------------------

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// Per thread: the first call gives S_OK, later calls with the same model S_FALSE (each to be balanced by
// CoUninitialize), a call with the other model RPC_E_CHANGED_MODE. reserved must be null (else E_INVALIDARG).
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();
// CO_E_NOTINITIALIZED on a thread without CoInitializeEx; REGDB_E_CLASSNOTREG when the store has no
// InprocServer32 for the class or the context asks for no in-process server; HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
// when the library does not load; CO_E_ERRORINDLL when it lacks DllGetClassObject; else what the server answers.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object);
// Unloads the libraries whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// Signatures of the four exports of an in-process server.
typedef HRESULT(STDAPICALLTYPE* PFN_DllGetClassObject)(REFCLSID clsid, REFIID riid, void** object);
typedef HRESULT(STDAPICALLTYPE* PFN_DllCanUnloadNow)();
typedef HRESULT(STDAPICALLTYPE* PFN_DllRegisterServer)();
typedef HRESULT(STDAPICALLTYPE* PFN_DllUnregisterServer)();

// ---- Helpers of the kit (not Windows names) ------------------------------------------------------------------------

namespace MirrorKit::com {

// "{615FAAA3-B515-4D4C-9F04-013D13FEB154}" form, upper case, as the registry keys are written.
std::string guidToString(REFGUID guid);
// Accepts the form above with or without braces, any case. False on malformed text.
bool guidFromString(const std::string& text, GUID& guid);

// Text for an HRESULT, like the system's message table ("Class not registered", "The parameter is incorrect.");
// unknown codes read "Unknown error 0x80001234".
std::string errorMessage(HRESULT hr);

// Registry key of a class under HKEY_CLASSES_ROOT: "HKEY_CLASSES_ROOT\\CLSID\\{...}".
std::string classKey(REFCLSID clsid);

// Calls DllRegisterServer (or DllUnregisterServer) of the library at path: what a registration tool does.
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) if it does not load, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) if it lacks
// the entry point.
HRESULT registerServer(const std::string& libraryPath, bool unregister);

// A type library is recorded only as its registry keys (no binary type library is kept): TypeLib\{libid}\<ver>
// with its help string, "0\\win64" naming the module, FLAGS and HELPDIR; and Interface\{iid} for each interface with
// its name, ProxyStubClsid32 and TypeLib (with Version).
struct TypeLibInterface {
    IID iid;
    const char* name;
};
struct TypeLibInfo {
    GUID libid;
    unsigned short major;
    unsigned short minor;
    const char* helpString;
    const TypeLibInterface* interfaces;
    size_t interfaceCount;
};
HRESULT registerTypeLib(const TypeLibInfo& info, const std::string& modulePath);
HRESULT unregisterTypeLib(const TypeLibInfo& info);

// Path of the loaded module that holds the given address (a function or object of that module); empty if unknown.
std::string modulePathOf(const void* address);

// The IUnknown part of a class factory that is a static object of its module: it lives as long as the module,
// so reference counting does nothing. Servers derive from it and write CreateInstance and LockServer.
class StaticClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

protected:
    ~StaticClassFactory() = default;
};

}  // namespace MirrorKit::com
