// A temporary install tree for one benchmark mirror: profile written, logging quieted, the record opened on it.
#pragma once

#include <KRV.h>

#include <krv/Profile.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace krvbench {

class MirrorTree {
public:
    explicit MirrorTree(const std::string& prefix) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        dir_ = pattern;
        for (const char* sub : {"/Profiles", "/Map", "/Calibration"}) std::filesystem::create_directory(dir_ + sub);
    }
    ~MirrorTree() {
        close();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    MirrorTree(const MirrorTree&) = delete;
    MirrorTree& operator=(const MirrorTree&) = delete;

    // Empty when the tree could not be made.
    const std::string& path() const { return dir_; }

    // Writes the profile (plain lines, scrambled here) and opens the mirror on this tree.
    KRVRC open(const std::string& serial, const std::vector<std::string>& lines) {
        if (dir_.empty()) return rc_ = ERR_OPENFILE;
        std::ofstream profile(dir_ + "/Profiles/" + serial + ".dm", std::ios::binary);
        for (const std::string& line : lines) profile << MirrorKit::scramble_line(line) << '\n';
        profile.close();
        // Quiet logging into the tree: the console would otherwise carry the open's warnings into the report.
        KRVConfigureLog((dir_ + "/bench.log").c_str(), KRV_LOG_ERROR);
        dm_ = std::make_unique<DM>();
        KRVSetProfilesPath(dm_.get(), (dir_ + "/Profiles").c_str());
        KRVSetMapsPath(dm_.get(), (dir_ + "/Map").c_str());
        KRVSetCalibrationsPath(dm_.get(), (dir_ + "/Calibration").c_str());
        return rc_ = KRVOpen(dm_.get(), serial.c_str());
    }
    void close() {
        if (dm_ && dm_->State) KRVClose(dm_.get());
    }

    DM* dm() const { return rc_ == NO_ERR ? dm_.get() : nullptr; }
    KRVRC rc() const { return rc_; }

private:
    std::string dir_;
    std::unique_ptr<DM> dm_;
    KRVRC rc_ = ERR_UNKNOWN;
};

}  // namespace krvbench
