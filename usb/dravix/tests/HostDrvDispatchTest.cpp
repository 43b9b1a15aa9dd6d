// The VARIANT forms' argument checks and IDispatch dispatching by DISPID.
#include <cstring>

#include "DravixFixture.h"

namespace DravixTests {
namespace {

using MirrorKit::emu::UsbUnitConfig;

// A VARIANT holding a new LONG array; freed with VariantClear.
VARIANT longArray(ULONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, n);
    return v;
}
VARIANT byteArray(const std::vector<uint8_t>& bytes) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
    std::memcpy(v.parray->pvData, bytes.data(), bytes.size());
    return v;
}
LONG first(const VARIANT& v) { return static_cast<LONG*>(v.parray->pvData)[0]; }

class AutomationTest : public DravixTest {
protected:
    void SetUp() override {
        DravixTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        UsbUnitConfig c;
        c.product = "Automation Unit";
        c.serialNumber = "AUT00000042";
        ASSERT_EQ(bed.addUnit(c), 0);
        ASSERT_NE(create(), nullptr);
    }
};

TEST_F(AutomationTest, VarArgumentChecks) {
    VARIANT status = longArray(1);
    VARIANT frame = byteArray(std::vector<uint8_t>(320, 1));
    VARIANT wrong;
    VariantInit(&wrong);
    wrong.vt = VT_I4;
    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, &frame, 320, nullptr), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, &frame, 320, &wrong), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, nullptr, 320, &status), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_StepFrameDataVar(32, &frame, 320, &status), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_StepFrameDataVar(-1, &frame, 320, &status), E_INVALIDARG);
    // A size beyond the array would read past it.
    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, &frame, 321, &status), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_FlushStreamVar(40, &status), E_INVALIDARG);
    EXPECT_EQ(host->Dravix_SetControlVar(0, 0, &wrong), E_INVALIDARG);
    EXPECT_EQ(bed.bulkCount(0), 0u);

    // A lock count at its limit makes locking fail.
    status.parray->cLocks = 0xFFFF;
    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, &frame, 320, &status), S_FALSE);
    EXPECT_EQ(host->Dravix_GetStatusVar(0, 1, &status), S_FALSE);
    VARIANT ids = longArray(4);
    EXPECT_EQ(host->Dravix_GetAvailableDevicesVar(&ids, 4, &status), E_UNEXPECTED);
    EXPECT_EQ(ids.parray->cLocks, 0u);  // nothing stays locked behind a failure
    status.parray->cLocks = 0;
    EXPECT_EQ(frame.parray->cLocks, 0u);

    EXPECT_EQ(host->Dravix_StepFrameDataVar(0, &frame, 320, &status), S_OK);
    EXPECT_EQ(first(status), DRAVIX_DONE);
    EXPECT_EQ(status.parray->cLocks, 0u);
    EXPECT_EQ(frame.parray->cLocks, 0u);
    EXPECT_EQ(bed.bulkCount(0), 1u);

    EXPECT_EQ(host->Dravix_GetAvailableDevicesVar(&ids, 4, &status), S_OK);
    EXPECT_EQ(static_cast<LONG*>(ids.parray->pvData)[0], 0);
    EXPECT_EQ(static_cast<LONG*>(ids.parray->pvData)[1], -1);
    EXPECT_EQ(host->Dravix_GetAvailableDevicesVar(&ids, 5, &status), E_INVALIDARG);

    EXPECT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_PRODUCT_ID, &status), S_OK);
    EXPECT_EQ(first(status), 0x0ED8);
    // An EEPROM block does not fit in one LONG.
    EXPECT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_EXT_EEPROM, &status), E_INVALIDARG);
    VARIANT serial = longArray(3);
    EXPECT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_SERIAL, &serial), S_OK);
    EXPECT_EQ(std::string(static_cast<char*>(serial.parray->pvData), 11), "AUT00000042");

    VariantClear(&status);
    VariantClear(&frame);
    VariantClear(&ids);
    VariantClear(&serial);
}

TEST_F(AutomationTest, DeviceNameIntoABstr) {
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocStringLen(nullptr, 49);
    EXPECT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_NAME, &name), E_INVALIDARG);
    VariantClear(&name);

    name.vt = VT_BSTR;
    name.bstrVal = SysAllocStringLen(nullptr, 60);
    for (int i = 0; i < 60; ++i) name.bstrVal[i] = u'.';
    ASSERT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_NAME, &name), S_OK);
    const std::u16string expected = u"Automation Unit";
    EXPECT_EQ(std::u16string(name.bstrVal, expected.size()), expected);
    EXPECT_EQ(name.bstrVal[expected.size()], u'.');  // no terminator is written
    EXPECT_EQ(SysStringLen(name.bstrVal), 60u);
    VariantClear(&name);

    VARIANT array = longArray(64);
    EXPECT_EQ(host->Dravix_GetStatusVar(0, DRAVIX_STAT_NAME, &array), E_INVALIDARG);
    VariantClear(&array);
}

TEST_F(AutomationTest, SetControlVarWritesTheSerialNumber) {
    VARIANT buffer = longArray(3);
    std::memcpy(buffer.parray->pvData, "NEW00000077", 12);
    ASSERT_EQ(host->Dravix_SetControlVar(0, DRAVIX_CTL_WRITE_SERIAL, &buffer), S_OK);
    EXPECT_EQ(std::string(static_cast<char*>(buffer.parray->pvData)), "NEW00000077");
    EXPECT_EQ(bed.eeprom(0)[0x1F80 + 16], 'N');
    VARIANT small = longArray(1);
    EXPECT_EQ(host->Dravix_SetControlVar(0, DRAVIX_CTL_WRITE_SERIAL, &small), E_INVALIDARG);
    VariantClear(&buffer);
    VariantClear(&small);
}

TEST_F(AutomationTest, NamesAndDispatchIds) {
    const OLECHAR* names[] = {u"Dravix_GetStatus", u"dravix_flushstreamvar", u"Dravix_SetNotify", u"Nope"};
    const DISPID expected[] = {1, 15, 4, DISPID_UNKNOWN};
    for (int i = 0; i < 4; ++i) {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        HRESULT hr = host->GetIDsOfNames(GUID_NULL, &name, 1, 0, &id);
        EXPECT_EQ(id, expected[i]);
        EXPECT_EQ(hr, expected[i] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK);
    }
    UINT count = 9;
    EXPECT_EQ(host->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(AutomationTest, InvokeCallsTheMethodOfEachDispId) {
    LONG status = 0;
    VARIANT args[3];
    for (auto& a : args) VariantInit(&a);
    // Arguments go last first: (nDevId, nStatId, p_nStatus).
    args[2].vt = VT_I4;
    args[2].lVal = 0;
    args[1].vt = VT_I4;
    args[1].lVal = DRAVIX_STAT_VENDOR_ID;
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &status;
    DISPPARAMS params{args, nullptr, 3, 0};
    UINT argError = 99;
    ASSERT_EQ(host->Invoke(DISPID_Dravix_GetStatus, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              S_OK);
    EXPECT_EQ(status, 0x1781);

    // A device name through a single LONG fills only that LONG, never the memory after it.
    args[1].lVal = DRAVIX_STAT_NAME;
    ASSERT_EQ(host->Invoke(DISPID_Dravix_GetStatus, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&status), 4), "Auto");

    args[1].lVal = 1;  // SetControl(0, 1)
    ASSERT_EQ(host->Invoke(DISPID_Dravix_SetControl, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              S_OK);
    EXPECT_EQ(status, DRAVIX_DONE);
    EXPECT_EQ(bed.controlLines(0), std::vector<uint16_t>{0x04});

    EXPECT_EQ(host->Invoke(16, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              DISP_E_MEMBERNOTFOUND);
    params.cArgs = 2;
    EXPECT_EQ(host->Invoke(DISPID_Dravix_GetStatus, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              DISP_E_BADPARAMCOUNT);
    params.cArgs = 3;
    args[2].vt = VT_BSTR;
    args[2].bstrVal = nullptr;
    EXPECT_EQ(host->Invoke(DISPID_Dravix_GetStatus, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 2u);

    // A failing VARIANT form comes back as an exception carrying its result.
    VARIANT status2 = longArray(1);
    VARIANT varArgs[2];
    VariantInit(&varArgs[1]);
    varArgs[1].vt = VT_I4;
    varArgs[1].lVal = 99;  // no such slot
    varArgs[0].vt = VT_BYREF | VT_VARIANT;
    varArgs[0].pvarVal = &status2;
    DISPPARAMS varParams{varArgs, nullptr, 2, 0};
    EXCEPINFO info{};
    EXPECT_EQ(host->Invoke(DISPID_Dravix_FlushStreamVar, GUID_NULL, 0, DISPATCH_METHOD, &varParams, nullptr, &info,
                           &argError),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_INVALIDARG);
    varArgs[1].lVal = 0;
    EXPECT_EQ(host->Invoke(DISPID_Dravix_FlushStreamVar, GUID_NULL, 0, DISPATCH_METHOD, &varParams, nullptr, &info,
                           &argError),
              S_OK);
    VariantClear(&status2);
}

}  // namespace
}  // namespace DravixTests
