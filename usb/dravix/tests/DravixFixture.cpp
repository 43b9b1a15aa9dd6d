// Test fixture: a private registry store with Dravix registered, emulated units, and the server object.
#include "DravixFixture.h"

#include <cstdlib>

namespace DravixTests {

std::string DravixTest::modulePath() {
    const char* dir = std::getenv("KRV_TEST_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/lib/libDravix.so";
}

void DravixTest::SetUp() {
    if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dravixXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    setenv("KRV_REGISTRY_FILE", (dir + "/registry.reg").c_str(), 1);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_EQ(MirrorKit::com::registerServer(modulePath(), false), S_OK);
}

void DravixTest::TearDown() {
    release();
    if (dir.empty()) return;
    CoUninitialize();
    unsetenv("KRV_REGISTRY_FILE");
    std::system(("rm -rf '" + dir + "'").c_str());
}

IHostDrv* DravixTest::create() {
    release();
    HRESULT hr = CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv, reinterpret_cast<void**>(&host));
    EXPECT_EQ(hr, S_OK) << MirrorKit::com::errorMessage(hr);
    return host;
}

void DravixTest::release() {
    if (host) host->Release();
    host = nullptr;
}

LONG DravixTest::getStatus(LONG slot, LONG item) {
    LONG status[64] = {};
    EXPECT_EQ(host->Dravix_GetStatus(slot, item, status), S_OK);
    return status[0];
}

LONG DravixTest::setControl(LONG slot, LONG code) {
    LONG status = 12345;
    EXPECT_EQ(host->Dravix_SetControl(slot, code, &status), S_OK);
    return status;
}

LONG DravixTest::step(LONG slot, std::vector<uint8_t> data) {
    LONG status = 12345;
    EXPECT_EQ(host->Dravix_StepFrameData(slot, data.data(), LONG(data.size()), &status), S_OK);
    return status;
}

LONG DravixTest::stream(LONG slot, std::vector<uint8_t> data) {
    LONG status = 12345;
    EXPECT_EQ(host->Dravix_StreamFrameData(slot, data.data(), LONG(data.size()), &status), S_OK);
    return status;
}

std::vector<uint8_t> DravixTest::frame(size_t n, uint8_t seed) {
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; ++i) f[i] = uint8_t(seed + i);
    return f;
}

}  // namespace DravixTests
