// GUID text form, the HRESULT message table and the registry form of a type library.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "krv/platform/com.h"
#include "krv/platform/registry.h"

namespace MirrorKit::com {

std::string guidToString(REFGUID g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool guidFromString(const std::string& input, GUID& guid) {
    std::string text = input;
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return false;
    uint8_t bytes[16];
    int n = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) || !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        bytes[n++] = static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16));
        i += 2;
    }
    guid.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    guid.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
    guid.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

std::string errorMessage(HRESULT hr) {
    struct Entry {
        HRESULT hr;
        const char* text;
    };
    // Worded as the system's message table words them.
    static const Entry table[] = {
        {S_OK, "The operation completed successfully."},
        {S_FALSE, "Incorrect function."},
        {E_NOTIMPL, "Not implemented"},
        {E_NOINTERFACE, "No such interface supported"},
        {E_POINTER, "Invalid pointer"},
        {E_ABORT, "Operation aborted"},
        {E_FAIL, "Unspecified error"},
        {E_UNEXPECTED, "Catastrophic failure"},
        {E_ACCESSDENIED, "Access is denied."},
        {E_HANDLE, "The handle is invalid."},
        {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
        {E_INVALIDARG, "The parameter is incorrect."},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified."},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "The specified module could not be found."},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "The specified procedure could not be found."},
        {HRESULT_FROM_WIN32(ERROR_NOT_FOUND), "Element not found."},
        {CLASS_E_NOAGGREGATION, "Class does not support aggregation (or class object is remote)"},
        {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
        {REGDB_E_READREGDB, "Could not read key from registry"},
        {REGDB_E_WRITEREGDB, "Could not write key to registry"},
        {REGDB_E_CLASSNOTREG, "Class not registered"},
        {CO_E_NOTINITIALIZED, "CoInitialize has not been called."},
        {CO_E_DLLNOTFOUND, "DLL for class not found"},
        {CO_E_ERRORINDLL, "Error in the DLL"},
        {RPC_E_CHANGED_MODE, "Cannot change thread mode after it is set."},
        {SELFREG_E_TYPELIB, "Failed to register/unregister type library"},
        {SELFREG_E_CLASS, "Failed to register/unregister class"},
        {DISP_E_UNKNOWNINTERFACE, "Unknown interface."},
        {DISP_E_MEMBERNOTFOUND, "Member not found."},
        {DISP_E_PARAMNOTFOUND, "Parameter not found."},
        {DISP_E_TYPEMISMATCH, "Type mismatch."},
        {DISP_E_UNKNOWNNAME, "Unknown name."},
        {DISP_E_NONAMEDARGS, "No named arguments."},
        {DISP_E_BADVARTYPE, "Bad variable type."},
        {DISP_E_EXCEPTION, "Exception occurred."},
        {DISP_E_BADINDEX, "Invalid index."},
        {DISP_E_ARRAYISLOCKED, "Memory is locked."},
        {DISP_E_BADPARAMCOUNT, "Invalid number of parameters."},
        {DISP_E_PARAMNOTOPTIONAL, "Parameter not optional."},
        {TYPE_E_ELEMENTNOTFOUND, "Element not found."},
        {TYPE_E_LIBNOTREGISTERED, "Library not registered."},
    };
    for (const Entry& e : table)
        if (e.hr == hr) return e.text;
    char text[40];
    std::snprintf(text, sizeof text, "Unknown error 0x%08X", static_cast<unsigned>(hr));
    return text;
}

namespace {

const char kRoot[] = "HKEY_CLASSES_ROOT\\";

std::string versionText(const TypeLibInfo& info) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%x", info.major, info.minor);
    return text;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

HRESULT registerTypeLib(const TypeLibInfo& info, const std::string& modulePath) {
    namespace reg = MirrorKit::platform::registry;
    const std::string lib = std::string(kRoot) + "TypeLib\\" + guidToString(info.libid) + "\\" + versionText(info);
    const std::string libid = guidToString(info.libid);
    const std::string psoa = guidToString(CLSID_PSOAInterface);
    bool ok = reg::setString(lib, "", info.helpString ? info.helpString : "") == 0 &&
              reg::setString(lib + "\\0\\win64", "", modulePath) == 0 && reg::setString(lib + "\\FLAGS", "", "0") == 0 &&
              reg::setString(lib + "\\HELPDIR", "", directoryOf(modulePath)) == 0;
    for (size_t i = 0; ok && i < info.interfaceCount; ++i) {
        const std::string key = std::string(kRoot) + "Interface\\" + guidToString(info.interfaces[i].iid);
        ok = reg::setString(key, "", info.interfaces[i].name) == 0 &&
             reg::setString(key + "\\ProxyStubClsid", "", psoa) == 0 &&
             reg::setString(key + "\\ProxyStubClsid32", "", psoa) == 0 &&
             reg::setString(key + "\\TypeLib", "", libid) == 0 &&
             reg::setString(key + "\\TypeLib", "Version", versionText(info)) == 0;
    }
    return ok ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT unregisterTypeLib(const TypeLibInfo& info) {
    namespace reg = MirrorKit::platform::registry;
    const std::string libKey = std::string(kRoot) + "TypeLib\\" + guidToString(info.libid);
    int rc = reg::deleteTree(libKey + "\\" + versionText(info));
    bool ok = rc == 0 || rc == ENOENT;
    // The library's key goes too once no other version is left in it.
    std::vector<std::string> versions;
    if (reg::listSubKeys(libKey, versions) == 0 && versions.empty()) reg::deleteTree(libKey);
    for (size_t i = 0; i < info.interfaceCount; ++i) {
        rc = reg::deleteTree(std::string(kRoot) + "Interface\\" + guidToString(info.interfaces[i].iid));
        ok = ok && (rc == 0 || rc == ENOENT);
    }
    return ok ? S_OK : SELFREG_E_TYPELIB;
}

}  // namespace MirrorKit::com
