/* Loads a libpexlink by path, as a program of the user would, counts the cards and reads card 1's revision
 * register, then writes what it saw to a file (its own output must stay the library's: empty):
 *   count=<n> count_rc=<rc> read_rc=<rc> value=<hex> emulator=<path of the loaded libpexemu, or none>
 * Usage: load_probe <libpexlink path> <result file> */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint32_t (*GetNumDevicesFn)(int16_t*);
typedef uint32_t (*ReadRegFn)(int32_t, uint32_t, uint32_t*);

/* The file the process mapped for the emulated-card library, if any. */
static void loadedEmulator(char* path, size_t size) {
    snprintf(path, size, "none");
    FILE* maps = fopen("/proc/self/maps", "r");
    if (!maps) return;
    char line[4096];
    while (fgets(line, sizeof line, maps)) {
        const char* name = strchr(line, '/');
        if (name && strstr(name, "libpexemu")) {
            snprintf(path, size, "%s", name);
            path[strcspn(path, "\n")] = '\0';
            break;
        }
    }
    fclose(maps);
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "load_probe: %s\n", dlerror());
        return 1;
    }
    GetNumDevicesFn getNumDevices = (GetNumDevicesFn)dlsym(library, "GetNumDevices");
    ReadRegFn readReg = (ReadRegFn)dlsym(library, "ReadReg");
    if (!getNumDevices || !readReg) return 1;
    int16_t count = -1;
    uint32_t value = 0xFFFFFFFFu;
    const uint32_t countRc = getNumDevices(&count);
    const uint32_t readRc = readReg(1, 0, &value);
    char emulator[4096];
    loadedEmulator(emulator, sizeof emulator);
    FILE* out = fopen(argv[2], "w");
    if (!out) return 1;
    fprintf(out, "count=%d count_rc=%u read_rc=%u value=0x%08x emulator=%s\n", count, countRc, readRc, value, emulator);
    fclose(out);
    return 0;  /* the library stays loaded until the process ends, as in a program of the user */
}
