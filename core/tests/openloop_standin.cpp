// Stand-in for the open-loop library: exports the two private entry points and records how they were called.
#include <KRV.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {
std::vector<std::string> g_loads;
int g_deletes = 0;
KRVRC g_result = NO_ERR;
bool g_throw = false;
}  // namespace

extern "C" {
KRVAPI KRVRC KRV_Priv_Calibration_loadFile(DM*, const char* path) {
    g_loads.emplace_back(path ? path : "");
    if (g_throw) throw std::runtime_error("stand-in told to throw");
    return g_result;
}
KRVAPI void KRV_Priv_Calibration_delete(DM*) { ++g_deletes; }

// Test access.
KRVAPI int standin_load_count() { return static_cast<int>(g_loads.size()); }
KRVAPI const char* standin_last_load() { return g_loads.empty() ? "" : g_loads.back().c_str(); }
KRVAPI int standin_delete_count() { return g_deletes; }
KRVAPI void standin_set_result(KRVRC rc) { g_result = rc; }
KRVAPI void standin_set_throw(int on) { g_throw = on != 0; }
}
