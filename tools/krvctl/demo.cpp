// `krvctl demo`: builds a demo install directory, points the kit at it and runs the registered demo steps.
#include "demo.h"

#include "commands.h"
#include "profile.h"

#include <krv/platform/paths.h>
#include <krv/platform/registry.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>

namespace krvctl {
namespace {

struct RegisteredStep {
    int order;
    const char* name;
    DemoStep step;
};

// Filled by static initialisers of the step files, so it must exist before any of them runs.
std::vector<RegisteredStep>& steps() {
    static std::vector<RegisteredStep> list;
    return list;
}

std::string codeText(KRVRC rc) {
    return std::to_string(static_cast<unsigned>(rc)) + " " + KRVErrorString(rc);
}

struct LogLevelName {
    const char* name;
    KRV_LOGLEVEL level;
};
constexpr LogLevelName kLogLevels[] = {{"debug", KRV_LOG_DEBUG}, {"info", KRV_LOG_INFO},
                                       {"warn", KRV_LOG_WARN},   {"error", KRV_LOG_ERROR},
                                       {"off", KRV_LOG_OFF}};

KRV_LOGLEVEL parseLogLevel(const std::string& name) {
    for (const auto& l : kLogLevels)
        if (name == l.name) return l.level;
    throw UsageError("unknown log level " + quoted(name) + " (use debug, info, warn, error or off)");
}

std::string temporaryRoot() {
    std::string root = MirrorKit::platform::environment("TMPDIR");
    if (root.empty()) root = "/tmp";
    return root;
}

// The demo directory as an absolute path: later steps and the registry value must not depend on the
// current directory.
std::string prepareDirectory(const std::string& requested) {
    std::string dir;
    if (requested.empty()) {
        std::string pattern = temporaryRoot() + "/krvctl-demo-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data()))
            throw Failure("cannot create a temporary directory under " + temporaryRoot() + ": " +
                          std::strerror(errno));
        dir = buffer.data();
    } else {
        if (!MirrorKit::platform::makeDirectories(requested))
            throw Failure("cannot create " + requested + ": " + std::strerror(errno));
        dir = requested;
    }
    char resolved[PATH_MAX];
    if (!::realpath(dir.c_str(), resolved)) throw Failure("cannot resolve " + dir + ": " + std::strerror(errno));
    return resolved;
}

}  // namespace

KRVRC demoReport(DemoContext& ctx, const std::string& what, KRVRC rc, KRVRC expected) {
    ctx.out << "  " << what << ": " << codeText(rc);
    if (rc != expected) {
        ctx.out << " -- UNEXPECTED, expected " << codeText(expected);
        ++ctx.failures;
    } else if (rc != NO_ERR) {
        ctx.out << " (as expected)";
    }
    ctx.out << "\n";
    return rc;
}

bool demoCheck(DemoContext& ctx, const std::string& what, bool ok, const std::string& detail) {
    ctx.out << "  " << what << ": " << detail;
    if (!ok) {
        ctx.out << " -- UNEXPECTED";
        ++ctx.failures;
    }
    ctx.out << "\n";
    return ok;
}

bool registerDemoStep(int order, const char* name, DemoStep step) {
    steps().push_back({order, name, step});
    return true;
}

std::string writeDemoProfile(DemoContext& ctx, const std::string& serial,
                             const std::vector<std::pair<std::string, std::string>>& settings) {
    ProfileSettings profile;
    for (const auto& [key, value] : settings) profile.set(key, value, "demo profile " + serial);
    profile.checkConsistency();
    const std::string path = ctx.installDir + "/Profiles/" + serial + ".dm";
    writeProfileFile(path, profile);
    return path;
}

std::string writeDemoMap(DemoContext& ctx, const std::string& fileName, const std::vector<uint32_t>& entries) {
    std::string text;
    for (uint32_t e : entries) text += std::to_string(e) + "\n";
    const std::string path = ctx.installDir + "/Map/" + fileName;
    writeFileAtomically(path, text);
    return path;
}

int demoCommand(const Args& args) {
    std::string requestedDir;
    KRV_LOGLEVEL level = KRV_LOG_WARN;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--dir" || arg == "--log-level") {
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--dir") {
                if (value.empty()) throw UsageError("--dir needs a directory");
                requestedDir = value;
            } else {
                level = parseLogLevel(value);
            }
        } else if (arg.rfind("--dir=", 0) == 0 && arg.size() > 6) {
            requestedDir = arg.substr(6);
        } else if (arg.rfind("--log-level=", 0) == 0) {
            level = parseLogLevel(arg.substr(12));
        } else {
            throw UsageError("unexpected demo argument " + quoted(arg) + " (use --dir <path>, --log-level <level>)");
        }
    }

    const std::string dir = prepareDirectory(requestedDir);
    for (const char* sub : {"Profiles", "Map", "Calibration", "Shapes"})
        if (!MirrorKit::platform::makeDirectories(dir + "/" + sub))
            throw Failure("cannot create " + dir + "/" + sub + ": " + std::strerror(errno));

    // The kit finds its install directory in the registry store named by KRV_REGISTRY_FILE; a store of our
    // own inside the demo tree points it there without touching the system's store. Both variables must be
    // set before the first kit call, which caches the install directory and sets up logging.
    const std::string registryFile = dir + "/registry.reg";
    if (::setenv("KRV_REGISTRY_FILE", registryFile.c_str(), 1) != 0 || ::setenv("LOCALAPPDATA", dir.c_str(), 1) != 0)
        throw Failure(std::string("cannot set the environment: ") + std::strerror(errno));
    if (int err = MirrorKit::platform::registry::setString("HKEY_LOCAL_MACHINE\\Software\\Velmira", "InstallPath", dir))
        throw Failure("cannot write " + registryFile + ": " + MirrorKit::platform::registry::errorText(err));
    KRVConfigureLog(nullptr, level);

    std::cout << "demo install directory: " << dir << " (kept afterwards)\n"
              << "registry store: " << registryFile << " (InstallPath = " << dir << ")\n"
              << "log file: " << dir << "/Velmira/MirrorKit.log\n"
              << "kit version: " << KRVVersionString() << "\n";

    std::vector<RegisteredStep> ordered = steps();
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const RegisteredStep& a, const RegisteredStep& b) { return a.order < b.order; });
    DemoContext ctx{dir, std::cout};
    for (const RegisteredStep& s : ordered) {
        std::cout << "\n== " << s.name << " ==\n";
        const int before = ctx.failures;
        try {
            s.step(ctx);
        } catch (const std::exception& e) {
            std::cout << "  step stopped: " << e.what() << " -- UNEXPECTED\n";
            ++ctx.failures;
        }
        if (ctx.failures > before)
            std::cout << "  " << (ctx.failures - before) << " unexpected result(s) in this step\n";
    }
    std::cout.flush();

    std::cout << "\n";
    if (ctx.failures == 0) {
        std::cout << "demo finished: every result as expected\n";
        return 0;
    }
    std::cout << "demo finished: " << ctx.failures << " unexpected result(s)\n";
    std::cout.flush();
    std::cerr << "krvctl: demo saw " << ctx.failures << " unexpected result(s); see the lines marked UNEXPECTED\n";
    return 1;
}

}  // namespace krvctl
