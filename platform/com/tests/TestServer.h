// Interface of the small in-process server that the activation tests load.
#pragma once

#include "krv/platform/com.h"

// {5C0E1A52-3B7D-4E55-9A1B-2F6D8C4E7A10}
constexpr CLSID CLSID_TestCounter = {0x5C0E1A52, 0x3B7D, 0x4E55, {0x9A, 0x1B, 0x2F, 0x6D, 0x8C, 0x4E, 0x7A, 0x10}};
// {5C0E1A52-3B7D-4E55-9A1B-2F6D8C4E7A11}
constexpr IID IID_ITestCounter = {0x5C0E1A52, 0x3B7D, 0x4E55, {0x9A, 0x1B, 0x2F, 0x6D, 0x8C, 0x4E, 0x7A, 0x11}};

struct ITestCounter : public IUnknown {
    STDMETHOD(Increment)(LONG* value) PURE;

protected:
    ~ITestCounter() = default;
};
