/* mymirror: opens a mirror by its serial number through the installed kit (registry store, install directory,
 * profile), sends a ramp across its actuators, reads the frame back, then clears and closes the mirror.
 *
 * Usage: mymirror [serial number]        (default MYMIRROR001)
 *
 * Build with CMake (CMakeLists.txt next to this file) or with pkg-config (build-with-pkg-config.sh). */
#include <KRV.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    const char* serial = argc > 1 ? argv[1] : "MYMIRROR001";

    DM dm;
    memset(&dm, 0, sizeof dm); /* a record is zero-filled before its first use */
    KRVRC rc = KRVOpen(&dm, serial);
    if (rc != NO_ERR) {
        fprintf(stderr, "mymirror: cannot open %s: %s (krvctl doctor says why)\n", serial, KRVErrorString(rc));
        return 1;
    }

    /* One command per actuator, 0 to 1; the kit scales them by the profile's voltage limit. */
    static double frame[MAX_DM_SIZE], back[MAX_DM_SIZE];
    for (uint32_t i = 0; i < dm.ActCount; ++i) frame[i] = (i + 0.5) / dm.ActCount;
    rc = KRVSetArray(&dm, frame, NULL);
    if (rc == NO_ERR) rc = KRVGetArray(&dm, back, dm.ActCount);
    if (rc != NO_ERR) {
        fprintf(stderr, "mymirror: frame to %s: %s\n", serial, KRVErrorString(rc));
        KRVClose(&dm);
        return 1;
    }
    printf("mymirror: %s, %u actuators, first and last commands read back %.4f %.4f\n", serial, dm.ActCount, back[0],
           back[dm.ActCount - 1]);

    KRVClearArray(&dm);
    KRVClose(&dm);
    return 0;
}
