/* Opens the dummy mirror named on the command line through the installed kit's own lookup (registry store,
   install directory, profile), sends a frame, reads it back and closes. */
#include <KRV.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    DM dm;
    memset(&dm, 0, sizeof dm);
    KRVRC rc = KRVOpen(&dm, argv[1]);
    if (rc != NO_ERR) {
        fprintf(stderr, "KRVOpen: %s\n", KRVErrorString(rc));
        return 1;
    }
    double frame[MAX_DM_SIZE], back[MAX_DM_SIZE];
    for (uint32_t i = 0; i < dm.ActCount; ++i) frame[i] = (double)i / dm.ActCount;
    if ((rc = KRVSetArray(&dm, frame, NULL)) != NO_ERR || (rc = KRVGetArray(&dm, back, dm.ActCount)) != NO_ERR) {
        fprintf(stderr, "frame: %s\n", KRVErrorString(rc));
        return 1;
    }
    const double last = back[dm.ActCount - 1];
    printf("C: %u actuators, last command read back %.4f\n", dm.ActCount, last);
    KRVClose(&dm);
    return last > 0.9 && last < 1.0 ? 0 : 1;
}
