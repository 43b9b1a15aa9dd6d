// krvregsvr: registers or unregisters an in-process server in the registry store, as regsvr32 does.
#include <cstdio>
#include <cstring>
#include <string>

#include "krv/platform/com.h"
#include "krv/platform/registry.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: krvregsvr [-u] [-s] <library>\n"
                 "Registers an in-process server library of MirrorKit (such as the host-driver server\n"
                 "libDravix.so for USB drive units) in the kit's registry store, or unregisters it.\n"
                 "\n"
                 "  -u         unregister: call the library's DllUnregisterServer instead of DllRegisterServer\n"
                 "  -s         silent: report nothing, only the exit status\n"
                 "  --help     this text\n"
                 "  --version  the kit's version\n"
                 "\n"
                 "The registry store is the file named by KRV_REGISTRY_FILE (default %s).\n"
                 "Exit status: 0 success, 1 the library's call failed, 2 usage error.\n",
                 MirrorKit::platform::registry::storePath().c_str());
}

int usage() {
    usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false, silent = false;
    std::string library;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("krvregsvr (MirrorKit) %s\n", KRV_VERSION);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0)
            unregister = true;
        else if (std::strcmp(argv[i], "-s") == 0)
            silent = true;
        else if (argv[i][0] == '-' || !library.empty())
            return usage();
        else
            library = argv[i];
    }
    if (library.empty()) return usage();
    // A bare file name would go through the library search; a relative path is taken as written.
    if (library.find('/') == std::string::npos) library = "./" + library;

    HRESULT hr = MirrorKit::com::registerServer(library, unregister);
    if (!silent) {
        const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
        if (SUCCEEDED(hr))
            std::printf("%s in %s succeeded.\n", entry, library.c_str());
        else
            std::fprintf(stderr, "%s in %s failed with error 0x%08X: %s\n", entry, library.c_str(),
                         static_cast<unsigned>(hr), MirrorKit::com::errorMessage(hr).c_str());
    }
    return SUCCEEDED(hr) ? 0 : 1;
}
