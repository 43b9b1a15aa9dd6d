// Test helpers shared by the kit's test programs.
#include "KrvTestSupport.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace krvtest {

TempDir::TempDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

InstallTree::InstallTree() : dir_("krvinstall") {
    for (const char* sub : {"Profiles", "Map", "Calibration", "Shapes"})
        std::filesystem::create_directories(dir_ / sub);
    writeText(registryFile(), "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                              "\"InstallPath\"=\"" + root() + "\"\r\n");
    setEnv("KRV_REGISTRY_FILE", registryFile());
    setEnv("LOCALAPPDATA", root());
}

DM InstallTree::record() const {
    DM dm;
    std::memset(&dm, 0, sizeof dm);
    std::snprintf(dm.ProfilesPath, sizeof dm.ProfilesPath, "%s", profiles().c_str());
    std::snprintf(dm.MapsPath, sizeof dm.MapsPath, "%s", maps().c_str());
    std::snprintf(dm.CalibrationsPath, sizeof dm.CalibrationsPath, "%s", calibrations().c_str());
    return dm;
}

void writeProfile(const std::string& path, const std::vector<std::string>& lines, bool crlf) {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines) {
        for (char c : line) out.put(static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7));
        if (crlf) out.put('\r');
        out.put('\n');
    }
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> dummyProfile(uint32_t actuators, const std::string& extra) {
    std::vector<std::string> lines = {"type=2", "size=" + std::to_string(actuators), "maxv=100", "vlim=100"};
    if (!extra.empty()) lines.push_back(extra);
    return lines;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeMap(const std::string& path, const std::vector<uint32_t>& entries) {
    std::ostringstream ss;
    for (uint32_t e : entries) ss << e << '\n';
    writeText(path, ss.str());
}

void setEnv(const char* name, const std::string& value) {
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
}

}  // namespace krvtest
