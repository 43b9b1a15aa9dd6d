// BSTR, SAFEARRAY and VARIANT behaviour that servers rely on, and GUID text and error texts.
#include <gtest/gtest.h>

#include <cstring>

#include "krv/platform/com.h"

TEST(Bstr, LengthPrefixAndTerminator) {
    BSTR s = SysAllocString(u"Dravix");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 6u);
    EXPECT_EQ(SysStringByteLen(s), 12u);
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 12u);  // clients may read the byte count in front of the characters
    EXPECT_EQ(s[6], 0);
    SysFreeString(s);

    BSTR blank = SysAllocStringLen(nullptr, 50);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 50u);
    for (UINT i = 0; i <= 50; ++i) EXPECT_EQ(blank[i], 0);
    SysFreeString(blank);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
}

TEST(SafeArray, VectorAccessLockingAndBounds) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, 32);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SafeArrayGetDim(a), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(a), 4u);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    LONG lo = -1, hi = -1;
    EXPECT_EQ(SafeArrayGetLBound(a, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(a, 1, &hi), S_OK);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 31);
    EXPECT_EQ(SafeArrayGetLBound(a, 2, &lo), DISP_E_BADINDEX);

    LONG* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(a, reinterpret_cast<void**>(&data)), S_OK);
    EXPECT_EQ(a->cLocks, 1u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(data[i], 0);
    data[31] = 7;
    // A locked array must not be destroyed under its user.
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(a), E_UNEXPECTED);
    EXPECT_EQ(static_cast<LONG*>(a->pvData)[31], 7);

    a->cLocks = 0xFFFF;  // a lock count at its limit makes the next access fail
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(SafeArrayAccessData(a, &p), E_UNEXPECTED);
    EXPECT_EQ(p, nullptr);
    a->cLocks = 0;
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
    EXPECT_EQ(SafeArrayAccessData(nullptr, &p), E_INVALIDARG);
}

TEST(SafeArray, MultiDimensionalBoundsAreStoredRightmostFirst) {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {5, -2}};
    SAFEARRAY* a = SafeArrayCreate(VT_R8, 2, bounds);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->rgsabound[0].cElements, 5u);
    EXPECT_EQ(a->rgsabound[1].cElements, 3u);
    LONG lo = 0, hi = 0;
    SafeArrayGetLBound(a, 1, &lo);
    SafeArrayGetUBound(a, 1, &hi);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 3);
    SafeArrayGetLBound(a, 2, &lo);
    SafeArrayGetUBound(a, 2, &hi);
    EXPECT_EQ(lo, -2);
    EXPECT_EQ(hi, 2);
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, bounds), nullptr);
}

TEST(Variant, ClearFreesOwnedValuesAndCopyIsDeep) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"abc");
    VARIANT c;
    VariantInit(&c);
    ASSERT_EQ(VariantCopy(&c, &v), S_OK);
    EXPECT_NE(c.bstrVal, v.bstrVal);
    EXPECT_EQ(SysStringLen(c.bstrVal), 3u);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(c.bstrVal[2], u'c');  // the copy survives the original
    VariantClear(&c);

    VARIANT arr;
    VariantInit(&arr);
    arr.vt = VT_ARRAY | VT_BSTR;
    arr.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    static_cast<BSTR*>(arr.parray->pvData)[1] = SysAllocString(u"x");
    VARIANT arrCopy;
    VariantInit(&arrCopy);
    ASSERT_EQ(VariantCopy(&arrCopy, &arr), S_OK);
    BSTR copied = static_cast<BSTR*>(arrCopy.parray->pvData)[1];
    EXPECT_NE(copied, static_cast<BSTR*>(arr.parray->pvData)[1]);
    EXPECT_EQ(copied[0], u'x');
    EXPECT_EQ(VariantClear(&arr), S_OK);  // the sanitizer build catches a leaked element
    EXPECT_EQ(VariantClear(&arrCopy), S_OK);

    // By-reference values are not owned by the variant.
    LONG target = 5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    EXPECT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(target, 5);
}

TEST(Guid, TextRoundTrip) {
    const GUID g = {0x615FAAA3, 0xB515, 0x4D4C, {0x9F, 0x04, 0x01, 0x3D, 0x13, 0xFE, 0xB1, 0x54}};
    EXPECT_EQ(MirrorKit::com::guidToString(g), "{615FAAA3-B515-4D4C-9F04-013D13FEB154}");
    GUID back{};
    ASSERT_TRUE(MirrorKit::com::guidFromString("{615faaa3-b515-4d4c-9f04-013d13feb154}", back));
    EXPECT_TRUE(IsEqualGUID(g, back));
    ASSERT_TRUE(MirrorKit::com::guidFromString("615FAAA3-B515-4D4C-9F04-013D13FEB154", back));
    EXPECT_EQ(g, back);
    EXPECT_FALSE(MirrorKit::com::guidFromString("{615FAAA3-B515-4D4C-9F04-013D13FEB15}", back));
    EXPECT_FALSE(MirrorKit::com::guidFromString("{615FAAA3+B515-4D4C-9F04-013D13FEB154}", back));
    EXPECT_FALSE(MirrorKit::com::guidFromString("{615FAAA3-B515-4D4C-9F04-013D13FEB15G}", back));
}

TEST(ErrorMessage, KnownAndUnknownCodes) {
    EXPECT_EQ(MirrorKit::com::errorMessage(REGDB_E_CLASSNOTREG), "Class not registered");
    EXPECT_EQ(MirrorKit::com::errorMessage(E_INVALIDARG), "The parameter is incorrect.");
    EXPECT_EQ(MirrorKit::com::errorMessage(static_cast<HRESULT>(0x80001234u)), "Unknown error 0x80001234");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), static_cast<HRESULT>(0x80070490u));
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
}
