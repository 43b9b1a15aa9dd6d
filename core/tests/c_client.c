/* A C program using only the public header: writes its own install tree and profile, then drives a dummy mirror. */
#include <KRV.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int check(const char* what, KRVRC rc, KRVRC expected) {
    printf("%-28s %2d %s\n", what, (int)rc, KRVErrorString(rc));
    if (rc != expected) {
        fprintf(stderr, "%s: expected %d\n", what, (int)expected);
        return 1;
    }
    return 0;
}

int main(void) {
    char dir[] = "/tmp/krv-c-client-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    char path[512];
    snprintf(path, sizeof path, "%s/CCLIENT0032.dm", dir);
    FILE* f = fopen(path, "wb");
    if (!f) return 1;
    const char* lines[] = {"type=2", "size=32", "maxv=100", "vlim=100", "inactive=1:4"};
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        for (const char* p = lines[i]; *p; ++p) fputc(*p ^ 0xA7, f);
        fputc('\n', f);
    }
    fclose(f);

    DM* dm = calloc(1, sizeof(DM));
    int failures = 0;
    failures += check("KRVSetProfilesPath", KRVSetProfilesPath(dm, dir), NO_ERR);
    failures += check("KRVSetMapsPath", KRVSetMapsPath(dm, dir), NO_ERR);
    failures += check("KRVSetCalibrationsPath", KRVSetCalibrationsPath(dm, dir), NO_ERR);
    failures += check("KRVOpen", KRVOpen(dm, "CCLIENT0032"), NO_ERR);
    double frame[32], back[32];
    for (int i = 0; i < 32; ++i) frame[i] = i / 31.0;
    failures += check("KRVSetArray", KRVSetArray(dm, frame, NULL), NO_ERR);
    failures += check("KRVSetSingle", KRVSetSingle(dm, 0, 0.75), NO_ERR);
    failures += check("KRVGetArray", KRVGetArray(dm, back, 32), NO_ERR);
    if (back[0] < 0.7499 || back[0] > 0.7501 || back[31] != 1.0) {
        fprintf(stderr, "read back %f %f\n", back[0], back[31]);
        ++failures;
    }
    failures += check("KRVClose", KRVClose(dm), NO_ERR);
    free(dm);
    unlink(path);
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
