// krvctl: profile files, the demo install, and the kit's version and result codes from the command line.
#include "commands.h"
#include "doctor.h"
#include "profile.h"

#include <KRV.h>
#include <krv/platform/registry.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <new>

namespace krvctl {
namespace {

// Names of the result codes, in code order; the kit's header has only the values.
const char* const kCodeNames[] = {
    "NO_ERR", "ERR_UNKNOWN", "ERR_NO_HW", "ERR_INIT_DRIVER", "ERR_SERIAL_NUMBER", "ERR_MALLOC",
    "ERR_INVALID_DRIVER_TYPE", "ERR_INVALID_ACTUATOR_COUNT", "ERR_INVALID_LUT", "ERR_ACTUATOR_ID",
    "ERR_OPENFILE", "ERR_NOT_IMPLEMENTED", "ERR_TIMEOUT", "ERR_POKE", "ERR_REGISTRY", "ERR_PCIE_REGWR",
    "ERR_PCIE_REGRD", "ERR_PCIE_BURST", "ERR_X64_ONLY", "ERR_PULSE_RANGE", "ERR_INVALID_SEQUENCE",
    "ERR_INVALID_SEQUENCE_RATE", "ERR_INVALID_DITHER_WVFRM", "ERR_INVALID_DITHER_GAIN",
    "ERR_INVALID_DITHER_RATE", "ERR_BADARG", "ERR_SEGMENT_ID", "ERR_INVALID_CALIBRATION",
    "ERR_OUT_OF_LUT_RANGE", "ERR_DRIVER_NOT_OPEN", "ERR_DRIVER_ALREADY_OPEN", "ERR_FILE_PERMISSIONS",
    "ERR_FILE_FORMAT", "ERR_USB_READ", "ERR_USB_WRITE", "ERR_USB_OTHER", "ERR_INVALID_COEFFICIENTS"};
static_assert(sizeof(kCodeNames) / sizeof(kCodeNames[0]) == ERR_INVALID_COEFFICIENTS + 1,
              "one name per result code");

const char kUsage[] =
    "usage: krvctl <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  profile write <file> [settings ...]   write a scrambled mirror profile; settings are key=value,\n"
    "                                        --key value, --key=value, --from <textfile> (key=value lines,\n"
    "                                        '#' comments) or - for standard input; later settings win;\n"
    "                                        with no settings, key=value lines are read from standard input\n"
    "  profile show <file>                   print a profile unscrambled, one key=value per line\n"
    "  demo [--dir <path>] [--log-level L]   build a demo install directory (a fresh temporary one unless\n"
    "                                        --dir is given), point the kit at it and drive its dummy\n"
    "                                        mirrors; L is debug, info, warn (default), error or off\n"
    "  doctor                                say where the kit looks (registry store, install directory,\n"
    "                                        profiles, maps, log file, open-loop library, host-driver\n"
    "                                        server, USB drive units, PCIe cards), what it finds, and what\n"
    "                                        to do about each problem; exit status 1 when a profile\n"
    "                                        cannot be opened\n"
    "  install-path [--set <dir>]            print the install directory kept in the registry store, or\n"
    "                                        set it (exit status 1 when none is set)\n"
    "  version, --version                    print the kit's version\n"
    "  errors                                list result codes with their names and messages\n"
    "  help, --help, -h                      this text\n"
    "\n"
    "profile keys: type size maxv hva use_fiber use_CL burst_mode fiber_mode hva2 use_fiber2 use_CL2\n"
    "              fiber_mode2 vlim map calibration inactive driver_sn driver_sn2\n"
    "\n"
    "exit status: 0 success, 1 failure (or a demo step saw an unexpected result), 2 usage error\n";

int listErrors() {
    for (unsigned code = 0; code <= ERR_INVALID_COEFFICIENTS; ++code)
        std::printf("%2u  %-27s %s\n", code, kCodeNames[code], KRVErrorString(static_cast<KRVRC>(code)));
    return 0;
}

constexpr const char* kInstallKey = "HKEY_LOCAL_MACHINE\\Software\\Velmira";

int installPathCommand(const Args& args) {
    namespace reg = MirrorKit::platform::registry;
    if (args.empty()) {
        std::string dir;
        if (int err = reg::queryString(kInstallKey, "InstallPath", dir)) {
            std::cerr << "krvctl: no install directory in " << reg::storePath() << ": " << reg::errorText(err) << "\n";
            return 1;
        }
        std::cout << dir << "\n";
        return 0;
    }
    if (args.size() != 2 || args[0] != "--set" || args[1].empty())
        throw UsageError("install-path takes nothing or --set <directory>");
    if (int err = reg::setString(kInstallKey, "InstallPath", args[1]))
        throw Failure("cannot write " + reg::storePath() + ": " + reg::errorText(err));
    return 0;
}

struct Registered {
    std::string name;
    std::string usage;
    CommandFn fn;
};
std::vector<Registered>& registered() {
    static std::vector<Registered> all;
    return all;
}

int run(const Args& args) {
    if (args.empty()) throw UsageError("no command given (try 'krvctl --help')");
    const std::string& command = args[0];
    const Args rest(args.begin() + 1, args.end());
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << kUsage << registeredUsage();
        return 0;
    }
    if (command == "version" || command == "--version") {
        if (!rest.empty()) throw UsageError("version takes no arguments");
        // --version in the usual "program (package) version" form; "version" alone, for scripts.
        std::cout << (command == "--version" ? "krvctl (MirrorKit) " : "") << KRVVersionString() << "\n";
        return 0;
    }
    if (command == "errors") {
        if (!rest.empty()) throw UsageError("errors takes no arguments");
        return listErrors();
    }
    if (command == "profile") return profileCommand(rest);
    if (command == "install-path") return installPathCommand(rest);
    if (command == "doctor") {
        if (!rest.empty()) throw UsageError("doctor takes no arguments");
        return runDoctor(std::cout);
    }
    if (command == "demo") return demoCommand(rest);
    if (CommandFn fn = registeredCommand(command)) return fn(rest);
    throw UsageError("unknown command " + quoted(command) + " (try 'krvctl --help')");
}

}  // namespace

bool registerCommand(const char* name, const char* usage, CommandFn fn) {
    registered().push_back({name, usage, fn});
    return true;
}

CommandFn registeredCommand(const std::string& name) {
    for (const auto& r : registered())
        if (r.name == name) return r.fn;
    return nullptr;
}

std::string registeredUsage() {
    std::string text;
    for (const auto& r : registered()) text += r.usage;
    return text;
}

}  // namespace krvctl

int main(int argc, char** argv) {
    try {
        return krvctl::run(krvctl::Args(argv + 1, argv + argc));
    } catch (const krvctl::UsageError& e) {
        std::cerr << "krvctl: " << e.what() << "\n";
        return 2;
    } catch (const std::bad_alloc&) {
        std::cerr << "krvctl: out of memory\n";
    } catch (const std::exception& e) {
        std::cerr << "krvctl: " << e.what() << "\n";
    }
    return 1;
}
