// `krvctl doctor`: follows the kit's own lookups (registry store, install directory, profiles, maps, log file,
// open-loop library, host-driver server, USB drive units, PCIe cards) and says in plain words what it finds.
#include "doctor.h"

#include "commands.h"
#include "profile.h"

#include <KRV.h>
#include <krv/platform/paths.h>
#include <krv/platform/registry.h>

#ifdef KRVCTL_WITH_PCIE
#include <krv/platform/named_lock.h>
#include <pexemu.h>
#include <pexlink.h>
#endif
#ifdef KRVCTL_WITH_LIBUSB
#include <libusb.h>
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace krvctl {
namespace {

namespace reg = MirrorKit::platform::registry;
using MirrorKit::platform::environment;
using MirrorKit::platform::parentPath;
using MirrorKit::platform::pathExists;

constexpr const char* kInstallKey = "HKEY_LOCAL_MACHINE\\Software\\Velmira";
constexpr const char* kServerKey = "HKEY_CLASSES_ROOT\\CLSID\\{615FAAA3-B515-4D4C-9F04-013D13FEB154}\\InprocServer32";
constexpr const char* kOpenLoopLibrary = "libKRV_OpenLoop4.so.4";
constexpr uint16_t kUnitVendor = 0x1781;
constexpr uint16_t kUnitProducts[] = {0x0ED8, 0x0ED9};

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}
    void heading(const std::string& text) { out_ << "\n" << text << "\n"; }
    void line(const std::string& text) { out_ << "  " << text << "\n"; }
    // One line: what is wrong, then what to do about it.
    void problem(const std::string& what, const std::string& todo) {
        out_ << "  PROBLEM: " << what << " -- " << todo << "\n";
        ++problems_;
    }
    int problems() const { return problems_; }

private:
    std::ostream& out_;
    int problems_ = 0;
};

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFFu);
    return text;
}

// ---- Install directory ----------------------------------------------------------------------------------------

// The same lookup as the kit: registry key first, then $KRV. Empty when neither gives a directory.
std::string findInstallDirectory(Report& report) {
    const std::string store = reg::storePath();
    if (!pathExists(store))
        report.line("registry store: " + store + " (not there)");
    else if (::access(store.c_str(), R_OK) != 0)
        report.line("registry store: " + store + " (not readable by this user)");
    else
        report.line("registry store: " + store);

    const int keyError = reg::openKey(kInstallKey);
    if (keyError == 0) {
        std::string dir;
        if (int err = reg::queryString(kInstallKey, "InstallPath", dir)) {
            report.problem("the registry store has the key " + std::string(kInstallKey) +
                               " but its value InstallPath cannot be read (" + reg::errorText(err) + ")",
                           "set it with: sudo krvctl install-path --set <directory>");
            return std::string();
        }
        report.line("install directory: " + dir + " (InstallPath in the registry store)");
        return dir;
    }
    if (keyError == EACCES)
        report.line("the registry store cannot be read by this user, so the kit falls back on $KRV");
    const std::string env = environment("KRV");
    if (!env.empty()) {
        std::string dir = parentPath(env);
        if (dir.empty()) dir = ".";
        report.line("install directory: " + dir + " (parent of $KRV=" + env + "; the registry store has no " +
                    kInstallKey + ")");
        return dir;
    }
    report.problem("no install directory: the registry store has no key " + std::string(kInstallKey) +
                       " and the environment variable KRV is not set, so no mirror can be opened",
                   "install the mirrorkit package, or run: sudo krvctl install-path --set <directory>, "
                   "or set KRV to the path of a file inside the install directory");
    return std::string();
}

void checkFolders(Report& report, const std::string& dir) {
    for (const char* sub : {"Profiles", "Map", "Calibration", "Shapes"}) {
        const std::string path = dir + "/" + sub;
        if (!isDirectory(path)) {
            report.problem(path + " does not exist",
                           std::string("create it (mkdir -p ") + path + ") or fix the install directory");
            continue;
        }
        const std::string advice = folderWriteAdvice(path);
        if (advice.empty())
            report.line(std::string(sub) + ": " + path + " (writable)");
        else
            report.problem(path + " is read-only for this user, so profiles, maps, tables or shapes cannot be saved "
                               "there",
                           advice);
    }
}

// ---- Hardware -------------------------------------------------------------------------------------------------

struct UsbUnit {
    int bus = 0;
    int address = 0;
    uint16_t product = 0;
    bool accessible = false;
    std::string serial;  // empty when it could not be read
};

#ifdef KRVCTL_WITH_LIBUSB
// The serial-number block at EEPROM address 0x1F80, read as the host-driver server reads it.
std::string readUnitSerial(libusb_device_handle* handle) {
    unsigned char block[128] = {};
    for (int offset = 0; offset < 128; offset += 64) {
        const int n = libusb_control_transfer(
            handle, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE, 0xF2, 0,
            static_cast<uint16_t>(0x1F80 + offset), block + offset, 64, 1000);
        if (n != 64) return std::string();
    }
    if (std::memcmp(block + 2, "DXPICO", 6) != 0 && std::memcmp(block + 2, "DXPOLY", 6) != 0) return std::string();
    std::string serial;
    for (int i = 0; i < KRV_SERIAL_NUMBER_LEN; ++i) serial.push_back(static_cast<char>(block[16 + 2 * i]));
    return serial;
}

bool findUsbUnits(std::vector<UsbUnit>& units, std::string& error) {
    libusb_context* context = nullptr;
    if (int rc = libusb_init(&context)) {
        error = libusb_strerror(static_cast<libusb_error>(rc));
        return false;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || descriptor.idVendor != kUnitVendor) continue;
        if (std::find(std::begin(kUnitProducts), std::end(kUnitProducts), descriptor.idProduct) ==
            std::end(kUnitProducts))
            continue;
        UsbUnit unit;
        unit.bus = libusb_get_bus_number(list[i]);
        unit.address = libusb_get_device_address(list[i]);
        unit.product = descriptor.idProduct;
        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        unit.accessible = rc != LIBUSB_ERROR_ACCESS;
        if (rc == 0) {
            unit.serial = readUnitSerial(handle);
            libusb_close(handle);
        }
        units.push_back(unit);
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    libusb_exit(context);
    return true;
}
#else
bool findUsbUnits(std::vector<UsbUnit>&, std::string& error) {
    error = "this krvctl was built without libusb";
    return false;
}
#endif

struct Hardware {
    bool usbSearched = false;
    std::vector<UsbUnit> units;
    bool serverRegistered = false;
    int pcieCards = -1;  // -1: not known
    bool pcieLockUsable = true;
};

void checkServer(Report& report, Hardware& hw) {
    std::string path;
    if (reg::queryString(kServerKey, "", path) != 0) {
        std::string hint = "<library folder>/mirrorkit/libDravix.so";
#ifdef KRVCTL_SERVER_RELATIVE
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            const std::string candidate =
                parentPath(parentPath(std::string(self, static_cast<size_t>(n)))) + "/" KRVCTL_SERVER_RELATIVE;
            if (pathExists(candidate)) hint = candidate;
        }
#endif
        report.problem("the host-driver server for USB drive units is not registered, so USB mirrors cannot be "
                       "opened",
                       "run: sudo krvregsvr " + hint);
        return;
    }
    if (!pathExists(path)) {
        report.problem("the host-driver server is registered as " + path + ", which does not exist",
                       "register the right file again: sudo krvregsvr <path of libDravix.so>");
        return;
    }
    hw.serverRegistered = true;
    report.line("host-driver server: registered, " + path);
}

void checkUsb(Report& report, Hardware& hw) {
    std::string error;
    if (!findUsbUnits(hw.units, error)) {
        report.line("USB drive units: cannot be searched (" + error + ")");
        return;
    }
    hw.usbSearched = true;
    if (hw.units.empty()) report.line("USB drive units: none connected");
    for (const UsbUnit& u : hw.units) {
        const std::string where =
            "USB drive unit on bus " + std::to_string(u.bus) + " device " + std::to_string(u.address) + " (product " +
            hex4(u.product) + ")";
        if (!u.accessible) {
            report.problem(where + " is present but not accessible to this user",
                           "add yourself to the group that may use the units (sudo adduser $USER plugdev), then log "
                           "out and in again; the mirrorkit package's udev rule gives that group access");
        } else if (u.serial.empty()) {
            report.problem(where + ": its serial number cannot be read (no valid serial-number block)",
                           "write one with the USB back end's WriteDriverSN tool, or check the unit");
        } else {
            report.line(where + ": serial number " + u.serial);
        }
    }
}

// The lock every program takes around each card transfer: a user who cannot open it cannot use any card.
void checkPcieLock(Report& report, Hardware& hw) {
    using MirrorKit::platform::NamedLock;
    const NamedLock::Info lock = NamedLock::inspect(NamedLock::defaultName());
    if (lock.openError != 0) {
        hw.pcieLockUsable = false;
        const std::string why = NamedLock::explainFailure(lock);
        const size_t split = why.find(" -- ");
        report.problem(why.substr(0, split) + ", so every PCIe transfer of this user fails (error 16 reading a "
                                               "card register)",
                       split == std::string::npos ? "see above" : why.substr(split + 4));
        return;
    }
    report.line("PCIe transfer lock: " + NamedLock::describe(lock));
    if (lock.exists && !lock.inSharedGroup) {
        const std::string group = NamedLock::sharedGroup();
        report.problem("the PCIe transfer lock " + lock.path + " belongs to the group " + lock.groupName + ", not to " +
                           group + ", so other users of " + group + " cannot use the PCIe cards",
                       "run: sudo chgrp " + group + " " + lock.path);
    }
}

void checkPcie(Report& report, Hardware& hw) {
#ifdef KRVCTL_WITH_PCIE
    checkPcieLock(report, hw);
    int16_t count = 0;
    const std::string emulated = environment("PEXLINK_DEVICE_DIR");
    const std::string where = emulated.empty() ? "" : " (emulated cards in " + emulated + ")";
    if (GetNumDevices(&count) != PEX_SUCCESS) {
        report.line("PCIe cards: cannot be counted" + where);
        return;
    }
    hw.pcieCards = count;
    report.line("PCIe cards: " + (count == 0 ? std::string("none found") : std::to_string(count) + " found") + where);
    // The card access library loads the emulated-card library when it first looks at that folder.
    if (!emulated.empty()) {
        if (void* library = dlopen(PEXEMU_SONAME, RTLD_LAZY | RTLD_NOLOAD)) {
            dlclose(library);
        } else {
            report.problem("PEXLINK_DEVICE_DIR asks for emulated PCIe cards, but their library " PEXEMU_SONAME
                           " is not installed",
                           "install the package mirrorkit-emulators, or unset PEXLINK_DEVICE_DIR to use real cards");
        }
    }
#else
    report.line("PCIe cards: this krvctl was built without the PCIe back end");
#endif
}

// ---- Profiles -------------------------------------------------------------------------------------------------

const char* driverTypeName(const std::string& type) {
    if (type == "0") return "USB";
    if (type == "1") return "PCIe";
    if (type == "2") return "dummy";
    return nullptr;
}

std::vector<std::string> profileFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".dm") == 0) names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The amplifier link settings of a PCIe mirror's drive units, checked as the back end checks them when it opens
// the mirror: it opens anyway, but a unit without a link receives nothing, and a link that does not suit the
// amplifier type misbehaves. value(key) is the profile's text for key, empty when absent.
template <typename Value>
void checkPcieLinks(Report& report, const std::string& serial, const std::string& rewrite, Value value) {
    const bool twoUnits = !value("driver_sn2").empty();
    for (int unit = 0; unit < (twoUnits ? 2 : 1); ++unit) {
        const std::string suffix = unit == 0 ? "" : "2";
        // As the profile reader keeps them: the amplifier type whole, the link switches by their low byte.
        auto number = [&](const char* key) { return std::strtoll(value((key + suffix).c_str()).c_str(), nullptr, 10); };
        const uint32_t hva = static_cast<uint32_t>(number("hva"));
        const uint8_t fiber = static_cast<uint8_t>(number("use_fiber")), cl = static_cast<uint8_t>(number("use_CL")),
                      mode = static_cast<uint8_t>(number("fiber_mode"));
        const std::string who = serial + (twoUnits ? ": drive unit " + std::to_string(unit + 1) : std::string()) + ": ";
        if (!fiber && !cl)
            report.problem(who + "no amplifier link is selected (neither use_fiber" + suffix + " nor use_CL" + suffix +
                               "), so the mirror opens but no data is sent to it",
                           "set use_fiber" + suffix + "=1 (fiber) or use_CL" + suffix + "=1 (CameraLink); " + rewrite);
        else if (fiber && cl)
            report.problem(who + "both the fiber and the CameraLink link are selected, which the amplifier does not "
                                 "expect",
                           "keep one of use_fiber" + suffix + "=1 and use_CL" + suffix + "=1; " + rewrite);
        if (hva == 0 && !cl)
            report.problem(who + "a CameraLink amplifier (hva" + suffix + "=0) without use_CL" + suffix + "=1",
                           "set use_CL" + suffix + "=1, or the amplifier type hva" + suffix + "=; " + rewrite);
        else if (hva == 1 && mode)
            report.problem(who + "the ZETA fiber protocol (fiber_mode" + suffix + ") is set for an amplifier of type "
                                 "hva" + suffix + "=1, which does not speak it",
                           "set fiber_mode" + suffix + "=0; " + rewrite);
        else if (hva >= 2 && (!mode || !fiber))
            report.problem(who + "a ZETA driver (hva" + suffix + "=" + std::to_string(hva) + ") needs the fiber link "
                                 "with the ZETA protocol",
                           "set use_fiber" + suffix + "=1 and fiber_mode" + suffix + "=1; " + rewrite);
    }
}

// Checks one profile; false when the mirror it describes cannot be opened as things stand.
bool checkProfile(Report& report, const std::string& dir, const std::string& file, const Hardware& hw) {
    const std::string path = dir + "/Profiles/" + file;
    const std::string serial = file.substr(0, file.size() - 3);
    std::vector<ProfileLine> lines;
    try {
        lines = readProfileFile(path);
    } catch (const Failure& e) {
        report.problem(std::string("profile ") + e.what(), "check the file's permissions (ls -l " + path + ")");
        return false;
    }
    std::map<std::string, std::string> values;
    std::vector<std::string> notes;
    for (const ProfileLine& line : lines) {
        if (!line.problem.empty()) notes.push_back("line " + std::to_string(line.number) + ": " + line.problem);
        const size_t eq = line.text.find('=');
        if (eq != std::string::npos) values[line.text.substr(0, eq)] = line.text.substr(eq + 1);
    }
    auto value = [&](const char* key) {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    };

    const std::string type = value("type");
    const char* typeName = driverTypeName(type);
    std::string summary = serial + ": " + (typeName ? std::string(typeName) + " mirror" : "driver type '" + type + "'");
    summary += ", " + (value("size").empty() ? std::string("no actuator count") : value("size") + " actuators");
    const std::string mapFile = value("map"), calibration = value("calibration");
    const std::string mapPath = dir + "/Map/" + mapFile, calibrationPath = dir + "/Calibration/" + calibration;
    summary += mapFile.empty() ? ", default map" : ", map " + mapFile + (pathExists(mapPath) ? " (present)" : " (MISSING)");
    if (!calibration.empty())
        summary += ", calibration " + calibration + (pathExists(calibrationPath) ? " (present)" : " (MISSING)");
    std::vector<std::string> units;
    for (const char* key : {"driver_sn", "driver_sn2"})
        if (!value(key).empty()) units.push_back(value(key).substr(0, KRV_SERIAL_NUMBER_LEN));
    if (!units.empty()) {
        summary += ", drive unit";
        for (const std::string& u : units) summary += " " + u;
    }
    report.line(summary);
    for (const std::string& n : notes) report.line("  note: " + file + " " + n);

    bool opens = true;
    auto fail = [&](const std::string& what, const std::string& todo) {
        report.problem(serial + ": " + what, todo);
        opens = false;
    };
    const std::string rewrite = "rewrite it with: krvctl profile write " + path + " <settings>";
    if (serial.size() != KRV_SERIAL_NUMBER_LEN)
        fail("the file name is not an 11-character serial number, so KRVOpen never reads it",
             "rename it to <serial number>.dm");
    if (!typeName) fail("the driver type is missing or unknown", "set type=0 (USB), 1 (PCIe) or 2 (dummy); " + rewrite);
    const unsigned long size = std::strtoul(value("size").c_str(), nullptr, 10);
    if (size == 0 || size > MAX_DM_SIZE) fail("the actuator count is missing or out of range", "set size=; " + rewrite);
    if (!mapFile.empty() && !pathExists(mapPath))
        fail("its map file " + mapPath + " is missing", "copy the map file there, or " + rewrite + " (without map=)");
    if (!calibration.empty() && !pathExists(calibrationPath))
        report.problem(serial + ": its calibration table " + calibrationPath +
                           " is missing (the mirror opens, but surface and Zernike calls fail)",
                       "copy the table there or remove calibration= from the profile");

    if (type == "0") {
        if (units.empty()) fail("a USB mirror needs the serial number of its drive unit", "set driver_sn=; " + rewrite);
        if (!hw.serverRegistered) fail("USB mirrors need the host-driver server, which is not usable", "see above");
        for (const std::string& u : units) {
            const bool present = std::any_of(hw.units.begin(), hw.units.end(),
                                             [&](const UsbUnit& unit) { return unit.serial == u; });
            if (present || !hw.usbSearched) continue;
            const bool hidden = std::any_of(hw.units.begin(), hw.units.end(),
                                            [](const UsbUnit& unit) { return !unit.accessible; });
            fail("its drive unit " + u + " is not " + (hidden ? "accessible" : "connected"),
                 hidden ? "see the USB drive unit that is not accessible above"
                        : "connect and switch on the unit, then run krvctl doctor again");
        }
    } else if (type == "1") {
        if (hw.pcieCards == 0) fail("no PCIe interface card was found", "check that the card and its driver are installed");
        if (!hw.pcieLockUsable) fail("this user cannot open the PCIe transfer lock", "see the lock's PROBLEM above");
        checkPcieLinks(report, serial, rewrite, value);
    }
    return opens;
}

std::string logFile() {
    const std::string local = environment("LOCALAPPDATA");
    if (!local.empty()) return local + "/Velmira/MirrorKit.log";
    const std::string state = MirrorKit::platform::stateDirectory();
    return state.empty() ? std::string() : state + "/Velmira/MirrorKit.log";
}

void checkLog(Report& report) {
    const std::string file = logFile();
    if (file.empty()) {
        report.line("log file: none (neither LOCALAPPDATA, XDG_STATE_HOME nor HOME is set); messages go to the console");
        return;
    }
    if (pathExists(file)) {
        report.line("log file: " + file);
    } else {
        report.line("log file: " + file + " (not written yet)");
    }
}

void checkOpenLoop(Report& report) {
    std::string name = environment("KRV_OPENLOOP_LIBRARY");
    if (name.empty()) name = kOpenLoopLibrary;
    void* module = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        const char* error = ::dlerror();
        report.problem("the open-loop library " + name + " cannot be loaded (" + (error ? error : "unknown error") +
                           "): mirrors open, but calibration, surface and Zernike calls report ERR_NOT_IMPLEMENTED",
                       "install the mirrorkit package, or put the library where the loader finds it");
        return;
    }
    link_map* map = nullptr;
    std::string where = name;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) {
        char resolved[PATH_MAX];
        where = ::realpath(map->l_name, resolved) ? resolved : map->l_name;
    }
    ::dlclose(module);
    report.line("open-loop library: " + where);
}

}  // namespace

int runDoctor(std::ostream& out) {
    Report report(out);
    out << "MirrorKit " << KRVVersionString() << ": where the kit looks and what it finds\n";

    report.heading("Install directory");
    const std::string dir = findInstallDirectory(report);
    if (!dir.empty()) checkFolders(report, dir);

    report.heading("Libraries and log");
    checkOpenLoop(report);
    checkLog(report);

    report.heading("Hardware");
    Hardware hw;
    checkServer(report, hw);
    checkUsb(report, hw);
    checkPcie(report, hw);

    bool allOpen = !dir.empty();
    if (!dir.empty()) {
        report.heading("Profiles in " + dir + "/Profiles");
        const std::vector<std::string> files = profileFiles(dir + "/Profiles");
        if (files.empty())
            report.line("none; write one with: krvctl profile write " + dir + "/Profiles/<serial>.dm <settings>");
        for (const std::string& f : files) allOpen = checkProfile(report, dir, f, hw) && allOpen;
    }

    out << "\n";
    if (report.problems() == 0)
        out << "no problems found\n";
    else
        out << report.problems() << " problem(s) found; each PROBLEM line says what to do\n";
    return allOpen ? 0 : 1;
}

}  // namespace krvctl
