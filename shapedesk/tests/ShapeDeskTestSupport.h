// Test helpers for ShapeDesk: an install tree with mirrors and the generated tables.
#pragma once

#include "support/KrvTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace sdtest {

// Calibration tables written by the project's generator into the build tree.
inline std::string table(const std::string& name) {
    const char* dir = std::getenv("KRV_TESTDATA_DIR");
    return std::string(dir ? dir : "") + "/calibration/" + name;
}

// A dummy mirror with an identity map (and optionally a default calibration copied into the tree).
inline void writeDummyMirror(const krvtest::InstallTree& tree, const std::string& serial, uint32_t actuators,
                             const std::string& calibration = "", const std::string& extra = "") {
    std::vector<uint32_t> identity(actuators);
    for (uint32_t i = 0; i < actuators; ++i) identity[i] = i;
    krvtest::writeMap(tree.maps() + "/" + serial + ".map", identity);
    auto lines = krvtest::dummyProfile(actuators, "map=" + serial + ".map");
    if (!calibration.empty()) {
        const std::string name = std::filesystem::path(calibration).filename().string();
        std::filesystem::copy_file(calibration, tree.calibrations() + "/" + name,
                                   std::filesystem::copy_options::overwrite_existing);
        lines.push_back("calibration=" + name);
    }
    if (!extra.empty()) lines.push_back(extra);
    krvtest::writeProfile(tree.profiles() + "/" + serial + ".dm", lines);
}

}  // namespace sdtest
