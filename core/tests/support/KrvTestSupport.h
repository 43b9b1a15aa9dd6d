// Test helpers: temporary directories, install trees, registry stores, scrambled profiles and map files.
#pragma once

#include <KRV.h>

#include <cstdint>
#include <string>
#include <vector>

namespace krvtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "krvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// An install tree (Profiles, Map, Calibration, Shapes) with a registry store naming it, and the
// environment pointed at both (KRV_REGISTRY_FILE, LOCALAPPDATA for the log).
class InstallTree {
public:
    InstallTree();
    const std::string& root() const { return dir_.path(); }
    std::string profiles() const { return dir_ / "Profiles"; }
    std::string maps() const { return dir_ / "Map"; }
    std::string calibrations() const { return dir_ / "Calibration"; }
    std::string registryFile() const { return dir_ / "registry.reg"; }
    // A zero-filled record whose three search paths point into this tree.
    DM record() const;

private:
    TempDir dir_;
};

// Writes a profile: each line scrambled, lines ended by LF (or CR LF).
void writeProfile(const std::string& path, const std::vector<std::string>& lines, bool crlf = false);
// Profile of a dummy mirror with maxv = vlim = 100.
std::vector<std::string> dummyProfile(uint32_t actuators, const std::string& extra = "");
void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);
// One number per line.
void writeMap(const std::string& path, const std::vector<uint32_t>& entries);
// Sets or unsets an environment variable (empty value unsets).
void setEnv(const char* name, const std::string& value);

}  // namespace krvtest
