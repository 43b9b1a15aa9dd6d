/* A C program using one interface header alone (KRVLabviewIF.h with FLAT_LABVIEW, else KRVMatlabIF.h): writes its
 * own install tree and profile, then drives a dummy mirror through a handle. */
#ifdef FLAT_LABVIEW
#include <KRVLabviewIF.h>
#define FLAT(labview, matlab) KRV_LVIF_##labview
#else
#include <KRVMatlabIF.h>
#define FLAT(labview, matlab) matlab
#endif

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

_Static_assert(sizeof(DM_STRUCT) == 48, "DM_STRUCT is 48 bytes");
_Static_assert(offsetof(DM_STRUCT, MappingFile) == 16 && offsetof(DM_STRUCT, Handle) == 24, "DM_STRUCT layout");

static int failures = 0;

static void check(const char* what, int32_t rc, int32_t expected) {
    printf("%-26s %2d %s\n", what, (int)rc, FLAT(GetErrorString, fnGetErrorString)(rc));
    if (rc != expected) {
        fprintf(stderr, "%s: expected %d\n", what, (int)expected);
        ++failures;
    }
}

static void writeScrambled(const char* path, const char* const* lines, size_t count) {
    FILE* f = fopen(path, "wb");
    if (!f) exit(1);
    for (size_t i = 0; i < count; ++i) {
        for (const char* p = lines[i]; *p; ++p) fputc(*p ^ 0xA7, f);
        fputc('\n', f);
    }
    fclose(f);
}

int main(void) {
    char dir[] = "/tmp/krv-flat-c-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    char path[512];
    snprintf(path, sizeof path, "%s/FLATCCLNT01.dm", dir);
    const char* lines[] = {"type=2", "size=32", "maxv=100", "vlim=100"};
    writeScrambled(path, lines, sizeof lines / sizeof lines[0]);

    DM_STRUCT dm;
    memset(&dm, 0, sizeof dm);
    check("GetNewDM", FLAT(GetNewDM, fnGetDM)(&dm), 0);
    if (dm.Handle < 32) ++failures;
    check("SetProfilesPath", FLAT(SetProfilesPath, fnSetProfilesPath)(&dm, dir), 0);
    check("SetMapsPath", FLAT(SetMapsPath, fnSetMapsPath)(&dm, dir), 0);
    check("SetCalibrationsPath", FLAT(SetCalibrationsPath, fnSetCalibrationsPath)(&dm, dir), 0);
    check("OpenDM", FLAT(OpenDM, fnOpenDM)(&dm, "FLATCCLNT01"), 0);
    if (dm.ActCount != 32 || dm.DriverType != 2 || dm.DevId != 1 || dm.ActCountWidth != 6) {
        fprintf(stderr, "record after open: %u actuators, type %u\n", (unsigned)dm.ActCount, (unsigned)dm.DriverType);
        ++failures;
    }

    double frame[32], back[32];
    for (int i = 0; i < 32; ++i) frame[i] = i / 31.0;
    check("SendData", FLAT(SendData, fnSendData)(&dm, frame, 32), 0);
    check("PokeDM", FLAT(PokeDM, fnPokeDM)(&dm, 0, 0.75), 0);
    check("GetActuatorData", FLAT(GetActuatorData, fnGetActuatorData)(&dm, back, 32), 0);
    if (back[0] < 0.7499 || back[0] > 0.7501 || back[31] != 1.0) {
        fprintf(stderr, "read back %f %f\n", back[0], back[31]);
        ++failures;
    }
    check("EnableHighRes", FLAT(EnableHighRes, fnEnableHighRes)(&dm, 1), 11);
    check("CloseDM", FLAT(CloseDM, fnCloseDM)(&dm), 0);
    check("OpenDM after close", FLAT(OpenDM, fnOpenDM)(&dm, "FLATCCLNT01"), 30);
    if (strcmp(FLAT(VersionString, fnVersionString)(), "4.2.1") != 0) ++failures;

    unlink(path);
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
